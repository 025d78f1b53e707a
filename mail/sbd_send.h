// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one send flow of the system: records go to the SBD gateway as the attachment "temp.sbd" of
// a mail whose subject is the device's IMEI, through the relay of the given Endpoints. The
// window's send command and kestravo-record both run it.
#include "mail/endpoints.h"
#include "record/config_record.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace kestravo::mail {

// kestravo::IsImei on the text: 15 characters, each a digit, '+' or '-', as the window's key filter
// lets through.
bool IsImeiText(const QString& imei);

struct SbdMessage {
    QString imei;
    TConfigRecord record;
};

struct SbdResult {
    // 0 = the relay accepted the message; otherwise the relay's reply code or a socket code in
    // the Windows Sockets numbering (10060: the relay stopped answering within the deadline;
    // 500: the message could not be sent, the connection could not be made among others).
    int code = 0;
    // The relay's last reply to the command that judged this message, or the error text.
    QString reply;
    // The Message-ID header sent ("" if the message itself never went out).
    QString messageId;
    bool accepted() const { return code == 0; }
};

// Sends messages one by one through ONE SMTP session where the relay allows it: a new mail
// transaction per message, RSET after a refused one, a greeting (HELO) once after a 503 to MAIL,
// and a fresh connection when the relay hangs up or answers 421, on which each message not yet
// accepted is tried once more. The relay may stay silent for at most Endpoints::timeoutSeconds
// at any point of the run; past that every message without a result ends with code 10060.
// Every event runs from the Qt event loop of the thread that made the SbdSend; the handlers may
// run a nested loop (a modal box), and may Abort, but must not destroy the SbdSend.
class SbdSend {
public:
    explicit SbdSend(Endpoints endpoints);
    ~SbdSend();
    SbdSend(const SbdSend&) = delete;
    SbdSend& operator=(const SbdSend&) = delete;

    // Before the message's MAIL FROM, or before its result when it never gets that far; once per
    // message, always before its OnMessageDone.
    std::function<void(std::size_t index)> OnMessageStart;
    std::function<void(std::size_t index, const SbdResult&)> OnMessageDone; // once per message, in order
    std::function<void()> OnFinished;                                       // the run is over (after QUIT or abort)

    // Opening the session ahead of the messages (the window connects on the click and composes
    // the record once the relay has greeted): OnConnected(0, greeting) once the relay has greeted,
    // or (code, reason) when it could not be reached. After a failure the next Start gives every
    // message that failure (500, or 10060 when the relay never answered) without trying again.
    // Refusals (an empty host) are thrown.
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
std::vector<SbdResult> SendAll(const Endpoints& endpoints, std::vector<SbdMessage> messages,
                               std::function<void(std::size_t, const SbdResult&)> onDone = {},
                               std::function<void(std::size_t)> onStart = {},
                               QuitReply quitReply = QuitReply::Await);

} // namespace kestravo::mail
