// SPDX-License-Identifier: Apache-2.0
#pragma once
// A way to the SBD gateway. The send flow (send/sbd_send.h) knows no transport: it hands each
// record to a link with "send this record to this IMEI" and hears one answer. The e-mail link
// (mail/mail_link.h) mails it through a relay, the DirectIP link (directip/directip_link.h) gives
// it to the gateway's MT interface.
#include "record/config_record.h"

#include <QString>

#include <cstddef>
#include <functional>

namespace kestravo::send {

struct SbdMessage {
    QString imei;
    TConfigRecord record;
};

// How a message ended, for scripts that must tell a refusal from a network failure.
enum class Outcome {
    Accepted,         // the relay or the gateway took the message
    Refused,          // the relay or the gateway answered with a refusal
    ConnectionFailed, // no answer that judged the message: no connection, a hang-up, silence, a broken reply
    NothingQueued,    // the gateway took the message but queued nothing for the device (DirectIP status 0)
};

struct SbdResult {
    // 0 = accepted; otherwise the relay's reply code, a socket code in the Windows Sockets
    // numbering (10060: no answer within the deadline; 10061 refused; 11001 unknown host), 500
    // (the message could not be sent), 20600 (an answer that breaks the protocol), 20700 (DirectIP:
    // the gateway took a payload but queued nothing for the device), or the gateway's refusal as its
    // own negative status (DirectIP: -2 unknown IMEI).
    int code = 0;
    // The answer that judged this message (the relay's reply, the gateway's status in words), or
    // the error text.
    QString detail;
    // The gateway side's name for the message: the Message-ID sent by mail (empty when the
    // message never went out), the auto ID reference by DirectIP (empty when the gateway gave none).
    QString reference;
    // DirectIP: the message's place in the device's queue (1 to 50, 0 when nothing was queued);
    // -1 when the way has no queue to report.
    int queuePlace = -1;
    Outcome outcome = Outcome::Accepted;

    bool accepted() const { return code == 0; }
};

// Words for an outcome, as the tool prints them.
inline const char* OutcomeName(Outcome o)
{
    switch (o) {
    case Outcome::Accepted: return "accepted";
    case Outcome::Refused: return "refused";
    case Outcome::ConnectionFailed: return "connection failed";
    case Outcome::NothingQueued: return "nothing queued";
    }
    return "";
}

// What the operator asked for beside the record, where the way supports it.
struct SendOptions {
    // E-mail: greet with EHLO (HELO when EHLO is refused) before the first MAIL of a session, as a
    // fleet does; the window keeps its greeting-less session.
    bool greetFirst = false;
    // DirectIP: flush the device's MT queue before this message is queued.
    bool flushQueue = false;
    // DirectIP: MT priority 1 (highest) to 5; 0 sends none.
    int priority = 0;
};

// One way to the gateway. Every answer comes later from the Qt event loop, never from within the
// call that asked for it; Abort silences every answer still due.
class Link {
public:
    using Answer = std::function<void(const SbdResult&)>;

    virtual ~Link() = default;

    // How many messages the flow may give at once.
    virtual int Parallel() const { return 1; }
    // Opens the way ahead of the messages (the window does so on its click): done(0, greeting)
    // once open, or (code, reason). A way with nothing to open answers 0 at once.
    virtual void Open(std::function<void(int code, const QString& text)> done) = 0;
    // Sends one record to one IMEI (a checked IMEI: 15 characters). `index` names the message in
    // the reference callback.
    virtual void Send(std::size_t index, const SbdMessage& message, Answer done) = 0;
    // The run is over: ends an open session the polite way; done once it is closed.
    virtual void Close(std::function<void()> done) = 0;
    // Drops everything at once; an open idle session is told goodbye without waiting.
    virtual void Abort() = 0;
    // Whether a session is open (an e-mail session kept between messages).
    virtual bool SessionOpen() const { return false; }
    // For the deadline's text: who did not answer ("the relay HOST:PORT") and when ("during the
    // mail transaction").
    virtual QString PeerName() const = 0;
    virtual QString Waiting() const = 0;

    // The gateway side's reference of message `index` once known, before its answer (the mail's
    // Message-ID as soon as it is composed), so that a history keeps it even when no answer comes.
    std::function<void(std::size_t index, const QString& reference)> OnReference;
};

} // namespace kestravo::send
