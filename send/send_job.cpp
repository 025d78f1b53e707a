// SPDX-License-Identifier: Apache-2.0
#include "send/send_job.h"

#include "send/result_codes.h"

#include <exception>
#include <utility>

namespace kestravo::send {

SendJob::SendJob(std::unique_ptr<SbdSend> flow, SbdMessage message, std::unique_ptr<HistoryRecorder> history)
    : flow_(std::move(flow)), message_(std::move(message)),
      history_(history ? std::move(history) : std::make_unique<HistoryRecorder>())
{
    flow_->OnConnected = [this](int, const QString&) { Connected(); };
    flow_->OnMessageReference = [this](std::size_t i, const QString& reference) { history_->Reference(i, reference); };
    flow_->OnMessageDone = [this](std::size_t, const SbdResult& result) { Done(result); };
    flow_->OnFinished = [this] {
        if (OnFinished)
            OnFinished();
    };
}

SendJob::~SendJob()
{
    flow_->OnConnected = nullptr;
    flow_->OnMessageReference = nullptr;
    flow_->OnMessageDone = nullptr;
    flow_->OnFinished = nullptr;
}

void SendJob::Start()
{
    // The row is on record before connecting, so that a send that never gets past the opening is
    // still there.
    history_->Begin(0, message_);
    try {
        flow_->Connect();
    } catch (const std::exception& e) {
        SbdResult refused;
        refused.code = kNotSent;
        refused.detail = QString::fromUtf8(e.what());
        refused.outcome = Outcome::ConnectionFailed;
        history_->Finish(0, refused);
        held_.reset();
        throw;
    }
}

void SendJob::Connected()
{
    connected_ = true;
    // Whatever the opening gave, the message goes: a way that could not be opened gives it the
    // failure, as a result like any other.
    flow_->Start({message_});
    if (OnConnected)
        OnConnected();
}

void SendJob::Done(const SbdResult& result)
{
    // Completed before the report, which may stay on screen for long.
    history_->Finish(0, result);
    held_.reset();
    reporting_ = true;
    if (OnDone)
        OnDone(result);
    reporting_ = false;
    reported_ = true;
}

void SendJob::Cancel()
{
    if (!connected_ && !reported_) {
        // Dropped while the way was still being opened: nothing reached the peer, and the row
        // says so rather than staying unfinished.
        SbdResult dropped;
        dropped.code = kNotSent;
        dropped.detail = ResultText(kNotSent, QStringLiteral("Not sent: the send was dropped before the way to the "
                                                             "gateway was open"));
        dropped.outcome = Outcome::ConnectionFailed;
        history_->Finish(0, dropped);
    }
    OnConnected = nullptr;
    OnDone = nullptr;
    OnFinished = nullptr;
    flow_->OnConnected = nullptr;
    flow_->Abort();
    held_.reset();
}

bool SendJob::Busy() const
{
    return reporting_ || flow_->Busy();
}

} // namespace kestravo::send
