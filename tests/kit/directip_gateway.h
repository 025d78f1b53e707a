// SPDX-License-Identifier: Apache-2.0
#pragma once
// A DirectIP MT gateway on a loopback port chosen by the system. It reads each connection's MT
// message whole and answers as the test's behaviour says: a confirmation (Confirm builds one for
// the message read), bytes that are off in some way, or nothing; then it closes or stays silent.
#include "directip/mt_message.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace kestravo::testkit {

class DirectIpGateway : public QObject {
public:
    // What the gateway sends back for the message it read, and whether it then closes.
    struct Reply {
        QByteArray bytes;
        bool close = true;
    };
    using Behaviour = std::function<Reply(const directip::MtMessage&)>;

    explicit DirectIpGateway(Behaviour behaviour, const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));
    ~DirectIpGateway() override;

    quint16 Port() const { return server_.serverPort(); }
    bool Listening() const { return server_.isListening(); }
    // The messages read, in the order they came whole.
    const std::vector<directip::MtMessage>& Received() const { return received_; }
    // Why a message could not be read; such a connection is closed without an answer.
    QStringList Unreadable() const { return unreadable_; }
    int Connections() const { return connections_; }
    // The most connections open at one time.
    int MaxOpen() const { return maxOpen_; }

private:
    void Read(QTcpSocket* s);

    QTcpServer server_;
    Behaviour behaviour_;
    std::map<QTcpSocket*, QByteArray> buffers_;
    std::vector<directip::MtMessage> received_;
    QStringList unreadable_;
    int connections_ = 0;
    int open_ = 0;
    int maxOpen_ = 0;
};

// The confirmation a gateway sends for message m: its client ID and IMEI, the status, and the
// reference (0 for a refusal, as the gateway gives none).
QByteArray Confirm(const directip::MtMessage& m, std::int16_t status, std::uint32_t reference = 123456);

} // namespace kestravo::testkit
