// SPDX-License-Identifier: Apache-2.0
#pragma once
// The DirectIP way to the gateway: each record goes as one MT message over its own TCP connection
// to the gateway's DirectIP MT interface, which answers with one confirmation and closes.
#include "send/link.h"

#include <QString>

#include <memory>

namespace kestravo::directip {

// Where the gateway listens: a host name or address, and a port (10800 by default).
struct Gateway {
    QString host;
    QString port = QStringLiteral("10800");
};

// Up to four messages in flight, each on its own connection. An answer is a success only when
// the confirmation is whole and names the message that was sent (its client message ID and IMEI);
// anything else is the protocol error 20600. The codes of the connection are the socket's: 10061
// refused, 11001 unknown host; the flow's deadline gives 10060.
class DirectIpLink final : public send::Link {
public:
    static constexpr int kInFlight = 4;

    DirectIpLink(Gateway gateway, send::SendOptions options);
    ~DirectIpLink() override;

    int Parallel() const override { return kInFlight; }
    void Open(std::function<void(int code, const QString& text)> done) override;
    void Send(std::size_t index, const send::SbdMessage& message, Answer done) override;
    void Close(std::function<void()> done) override;
    void Abort() override;
    QString PeerName() const override;
    QString Waiting() const override;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// The next client message ID of this process: unique within a run, never 0.
std::uint32_t NextClientMessageId();

} // namespace kestravo::directip
