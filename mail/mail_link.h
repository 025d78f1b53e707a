// SPDX-License-Identifier: Apache-2.0
#pragma once
// The e-mail way to the gateway: each record goes as the attachment "temp.sbd" of a mail whose
// subject is the device's IMEI, through the relay of the given Endpoints, over ONE SMTP session
// kept open between messages (RFC 5321).
#include "endpoints/endpoints.h"
#include "send/link.h"

#include <memory>

namespace kestravo::mail {

using endpoints::Endpoints;

// Per message: a new mail transaction on the open session; RSET first after a refused one; a
// greeting (HELO) once after a 503 to MAIL; and at most one reconnection when the relay hangs up,
// answers 421, or (after it took messages in this session) refuses MAIL for the moment with a
// 4xx, its limit of messages per session. With SendOptions::greetFirst each session starts with
// EHLO (HELO when EHLO is refused).
class MailLink final : public send::Link {
public:
    MailLink(Endpoints where, send::SendOptions options);
    ~MailLink() override;

    void Open(std::function<void(int code, const QString& text)> done) override;
    void Send(std::size_t index, const send::SbdMessage& message, Answer done) override;
    void Close(std::function<void()> done) override;
    void Abort() override;
    bool SessionOpen() const override;
    QString PeerName() const override;
    QString Waiting() const override;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace kestravo::mail
