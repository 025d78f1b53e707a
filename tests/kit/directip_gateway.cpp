// SPDX-License-Identifier: Apache-2.0
#include "directip_gateway.h"

#include <algorithm>
#include <span>

namespace kestravo::testkit {

namespace {

std::span<const std::uint8_t> Span(const QByteArray& b)
{
    return std::span(reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size()));
}

} // namespace

DirectIpGateway::DirectIpGateway(Behaviour behaviour, const QHostAddress& address)
    : behaviour_(std::move(behaviour))
{
    server_.listen(address, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            ++connections_;
            ++open_;
            maxOpen_ = std::max(maxOpen_, open_);
            buffers_.erase(s); // a new socket may come at the address of an old one
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                --open_;
                buffers_.erase(s);
                s->deleteLater();
            });
            connect(s, &QTcpSocket::readyRead, this, [this, s] { Read(s); });
        }
    });
}

DirectIpGateway::~DirectIpGateway()
{
    // The sockets go with the server, after this object's other members: they must not report
    // to it any more.
    for (QTcpSocket* s : server_.findChildren<QTcpSocket*>())
        s->disconnect(this);
}

void DirectIpGateway::Read(QTcpSocket* s)
{
    QByteArray& buffer = buffers_[s];
    buffer += s->readAll();
    const std::size_t whole = directip::WholeMessageSize(Span(buffer));
    if (whole == 0 || std::size_t(buffer.size()) < whole)
        return;
    const directip::MtReading reading = directip::ReadMtMessage(Span(buffer));
    if (!reading.message) {
        unreadable_.append(reading.why);
        s->disconnectFromHost();
        return;
    }
    received_.push_back(*reading.message);
    const Reply reply = behaviour_(*reading.message);
    s->write(reply.bytes);
    s->flush();
    if (reply.close)
        s->disconnectFromHost();
}

QByteArray Confirm(const directip::MtMessage& m, std::int16_t status, std::uint32_t reference)
{
    return directip::EncodeConfirmation({m.clientId, m.imei, status < 0 ? 0u : reference, status});
}

} // namespace kestravo::testkit
