// SPDX-License-Identifier: Apache-2.0
#pragma once
// The DirectIP way to the gateway: each record goes as one MT message over its own TCP connection
// to the gateway's DirectIP MT interface, which answers with one confirmation and closes.
#include "directip/mt_message.h"
#include "send/link.h"
#include "send/result_codes.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <span>

namespace kestravo::directip {

// Where the gateway listens: a host name or address, and a port (10800 by default).
struct Gateway {
    QString host;
    QString port = QStringLiteral("10800");
};

// What the link's codes of its own mean, beside the socket's (10061 refused, 11001 unknown host)
// and the flow's deadline (10060).
// 20600: an answer that is not one whole confirmation of this message; 20700: status 0, the
// gateway took the payload but queued nothing.
using send::kNothingQueued;
using send::kProtocolError;
// The most of an answer that is read: a confirmation is 31 bytes; more than this is garbage that
// need not be read further to be judged.
constexpr std::size_t kMaxAnswer = 65536;
// A gateway closes the connection after its confirmation; one that neither closes nor sends
// more is judged on what it sent once it has been quiet this long.
constexpr int kCloseGraceMs = 1000;

// Up to `parallel` messages in flight (1 to 32), each on its own connection. A message's answer is
// everything the gateway sends on its connection until it closes it: a success only when that is
// one whole confirmation naming the message that was sent (its client message ID and IMEI) with a
// queue place; status 0 is 20700 (outcome NothingQueued), a refusal its negative status, anything
// else the protocol error 20600, also a right confirmation with bytes after it, whenever they come.
class DirectIpLink final : public send::Link {
public:
    static constexpr int kDefaultParallel = 4;
    static constexpr int kMaxParallel = 32;

    // Throws std::invalid_argument for `parallel` outside 1 to 32.
    DirectIpLink(Gateway gateway, send::SendOptions options, int parallel = kDefaultParallel);
    ~DirectIpLink() override;

    int Parallel() const override;
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

// The result of message `sent` from all the gateway `peer` sent on its connection (at most
// kMaxAnswer + 1 bytes: more says only that it was more), which must not be empty. The gateway's
// reference is kept whenever a confirmation of this message with a status of 0 or more is there,
// also when bytes after it make it a protocol error.
send::SbdResult JudgeAnswer(std::span<const std::uint8_t> answer, const MtMessage& sent, const QString& peer);

// The next client message ID of this process: unique within a run, never 0.
std::uint32_t NextClientMessageId();

} // namespace kestravo::directip
