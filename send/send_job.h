// SPDX-License-Identifier: Apache-2.0
#pragma once
// One send of one record to one device, owned from the click to its result: the job takes the
// record and the IMEI once, when it is made, opens the way ahead of the message, sends it as soon
// as the way is open (or gives it the failure), keeps its history row and reports once. The
// window only starts jobs and shows what they report.
#include "send/history_recorder.h"
#include "send/sbd_send.h"

#include <functional>
#include <memory>

namespace kestravo::send {

class SendJob {
public:
    SendJob(std::unique_ptr<SbdSend> flow, SbdMessage message, std::unique_ptr<HistoryRecorder> history);
    ~SendJob();
    SendJob(const SendJob&) = delete;
    SendJob& operator=(const SendJob&) = delete;

    // The way ahead of the message is open, or could not be opened, and the message is on its way
    // (or, without a way, has its result already).
    std::function<void()> OnConnected;
    // The message's result, once; its history row is complete by then. The job stays ready
    // (SessionReady) until the handler returns.
    std::function<void(const SbdResult&)> OnDone;
    // The run is over (the session quit or dropped).
    std::function<void()> OnFinished;

    // Kept until the message has its result (the lock of the record's folder).
    void Hold(std::shared_ptr<const void> held) { held_ = std::move(held); }

    // Writes the history row, then opens the way. A refusal before any connection is thrown, its
    // row completed with it.
    void Start();
    // Drops the send at once and silences the job: OnDone and OnFinished no longer come. A send
    // dropped before its way was open has its row completed as not sent.
    void Cancel();

    const SbdMessage& Message() const { return message_; }
    // From the end of the opening until the result has been reported.
    bool SessionReady() const { return connected_ && !reported_; }
    // Connecting, mailing or reporting the result.
    bool Busy() const;

private:
    void Connected();
    void Done(const SbdResult& result);

    std::unique_ptr<SbdSend> flow_;
    const SbdMessage message_;
    std::unique_ptr<HistoryRecorder> history_;
    std::shared_ptr<const void> held_;
    bool connected_ = false;
    bool reporting_ = false;
    bool reported_ = false;
};

} // namespace kestravo::send
