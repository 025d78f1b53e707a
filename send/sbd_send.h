// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one send flow of the system: records go to the SBD gateway, one message per device, over a
// link (send/link.h) of either way, chosen where the program is put together (ways/). The window's
// send job and kestravo-record both run it; the flow knows nothing of how a message travels.
#include "send/link.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace kestravo::send {

// kestravo::IsImei on the text: 15 characters, each a digit, '+' or '-', as the window's key filter
// lets through.
bool IsImeiText(const QString& imei);

// Gives each message to the link, as many at once as the link takes, and reports one result per
// message in the order of the messages.
//
// The deadline (timeoutSeconds, the setting "timeout") is a bound on the whole of each step, as
// curl's --max-time is: opening the way ahead of the messages, each message from the start of its
// attempt (its connection and its one reconnection included) to the answer that judges it, and
// closing the session, each end within `timeout` seconds whatever the relay or gateway sends
// meanwhile. A step past it ends with code 10060; the way is dropped and every message without a
// result ends with 10060 too.
// Every event runs from the Qt event loop of the thread that made the SbdSend; the handlers may
// run a nested loop (a modal box), and may Abort, but must not destroy the SbdSend.
class SbdSend {
public:
    SbdSend(std::unique_ptr<Link> link, int timeoutSeconds);
    ~SbdSend();
    SbdSend(const SbdSend&) = delete;
    SbdSend& operator=(const SbdSend&) = delete;

    // When the attempt of a message starts (before it connects), or before its result when it
    // never gets that far; once per message, always before its OnMessageDone.
    std::function<void(std::size_t index)> OnMessageStart;
    // The gateway side's reference of a message once known, before its result (the Message-ID
    // of a mail as soon as it is composed).
    std::function<void(std::size_t index, const QString& reference)> OnMessageReference;
    std::function<void(std::size_t index, const SbdResult&)> OnMessageDone; // once per message, in order
    std::function<void()> OnFinished;                                       // the run is over (after QUIT or abort)

    // Opening the way ahead of the messages (the window connects on the click and composes the
    // record once the relay has greeted): OnConnected(0, greeting) once open, or (code, reason)
    // when it could not be. After a failure the next Start gives every message that failure (500,
    // or 10060 when the relay never answered) without trying again. A Connect while busy is a
    // fault of the caller and is thrown.
    std::function<void(int code, const QString& reply)> OnConnected;
    void Connect();

    // Sends the messages, on the session opened by Connect when there is one. Asynchronous: needs
    // a running Qt event loop. A run still under way is aborted first.
    void Start(std::vector<SbdMessage> messages);
    // Drops the connection at once (an idle open session gets QUIT first, unanswered); messages
    // without a result end with 426 and OnFinished follows when a run was under way.
    void Abort();
    // A connection is being made or a run is under way (not merely an idle open session).
    bool Busy() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// Whether SendAll, once every message has its result, waits for the relay to answer QUIT and
// close (or for the deadline), or returns as soon as QUIT has been sent.
enum class QuitReply { Await, DoNotAwait };

// For command-line tools: runs its own event loop until every message has a result and the
// session is over. A relay that took the messages and then never answers QUIT costs nothing
// with QuitReply::DoNotAwait: its answer tells nothing more about them.
std::vector<SbdResult> SendAll(std::unique_ptr<Link> link, int timeoutSeconds, std::vector<SbdMessage> messages,
                               std::function<void(std::size_t, const SbdResult&)> onDone = {},
                               std::function<void(std::size_t)> onStart = {},
                               QuitReply quitReply = QuitReply::Await,
                               std::function<void(std::size_t, const QString&)> onReference = {});

} // namespace kestravo::send
