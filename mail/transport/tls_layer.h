// SPDX-License-Identifier: Apache-2.0
#pragma once
// TlsLayer: TLS (RFC 8446, RFC 5246) between a socket and the protocol above it, with OpenSSL
// over memory buffers. The socket feeds it what arrived and sends what it gives back; the
// protocol reads and writes plain text through it. It never touches a descriptor itself, so it
// runs on the socket's own readiness events and nothing here blocks.
//
// The relay's certificate must chain to the system's trust store (or to the CA file named) and
// name the host that was asked for; TLS 1.2 is the oldest version accepted.
#include <QByteArray>
#include <QString>

#include <memory>

namespace kestravo::mail {

struct TlsOptions {
    // The relay's name (or address) as the settings give it: checked against the certificate
    // and, when it is a name, sent as the server name.
    QString hostName;
    // A PEM file of further trusted CA certificates; empty: the system's store only.
    QString caFile;
};

class TlsLayer {
public:
    enum class Step { Done, More, Failed };

    // A layer ready to start its handshake as a client, or null with the reason (an unreadable
    // CA file, say) in error.
    static std::unique_ptr<TlsLayer> Create(const TlsOptions& options, QString& error);
    ~TlsLayer();
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    // Bytes that came from the network.
    void Feed(const char* data, int size);
    // The peer closed its side of the connection.
    void PeerClosed();
    // Bytes for the network, taken out of the layer.
    QByteArray TakeOutgoing();

    // Advances the handshake with what has been fed; Failed leaves the reason in FailureReason().
    Step Handshake();
    bool Established() const;
    // Why the handshake or the connection failed, in words an operator can act on.
    QString FailureReason() const;

    // Plain text: the count read; 0 when the peer ended TLS; -1 when more must be fed first;
    // -2 on a failure (FailureReason()).
    int Read(char* buffer, int size);
    // Encrypts all of data; the result waits in TakeOutgoing().
    void Write(const char* data, int size);
    // Plain text already decrypted, or bytes fed and not yet looked at.
    int Pending() const;

private:
    TlsLayer();
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace kestravo::mail
