// SPDX-License-Identifier: Apache-2.0
#pragma once
// The layers a connected socket reads and writes through: the plain byte stream, or TLS over it
// (tls_layer.h). The socket keeps readiness, buffering and events; a layer only moves bytes
// between the descriptor and its reader and writer, and a layer with a set-up of its own (the TLS
// handshake) advances it on the socket's readable events. Nothing here blocks.
#include "tls_layer.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>

namespace kestravo::mail {

// Outgoing bytes wait in chunks of one Ethernet TCP payload; one chunk goes per send call.
class OutgoingQueue {
public:
    static constexpr int kChunkSize = 1460;
    struct Chunk {
        QByteArray data;
        int sent = 0;
    };
    void Append(const char* data, int count);
    void Clear();
    bool Empty() const { return chunks_.empty(); }
    std::deque<Chunk>& Chunks() { return chunks_; }
    // Bytes handed in and not yet taken by the network or a layer.
    qint64 Buffered() const { return buffered_; }
    void Took(qint64 count) { buffered_ = std::max<qint64>(0, buffered_ - count); }

private:
    std::deque<Chunk> chunks_;
    qint64 buffered_ = 0;
};

// Running totals of the bytes the socket moved, for reporting only.
struct StreamCounters {
    std::uint64_t read = 0;
    std::uint64_t written = 0;
};

class StreamLayer {
public:
    enum class Flushed { Drained, WouldBlock, Failed };
    enum class Setup { Done, More, Failed };
    virtual ~StreamLayer() = default;

    // Bytes for the reader: the count, 0 when the peer ended the stream, or -1 with the error in
    // error (10035: nothing yet); fatal: nothing after this can be trusted, the connection ends.
    virtual int Read(int fd, StreamCounters& counts, char* buffer, int size, int& error, bool& fatal) = 0;
    // Hands what waits to the network; with carryData false only the layer's own bytes (a
    // handshake's) go, the queue waits. Failed leaves the error in error.
    virtual Flushed Flush(int fd, StreamCounters& counts, OutgoingQueue& queue, bool carryData, int& error) = 0;
    // Bytes already read from the network and held inside the layer, where no readable event
    // will announce them.
    virtual int Pending() const { return 0; }
    // The stream is protected (TLS established).
    virtual bool Secure() const { return false; }
    // Advances the layer's set-up, reading what arrived first when readFirst.
    virtual Setup Advance(int /*fd*/, StreamCounters& /*counts*/, bool /*readFirst*/) { return Setup::Done; }
    // The peer closed the connection during the set-up.
    virtual bool PeerEnded() const { return false; }
    virtual QString FailureReason() const { return QString(); }
};

// The bytes as they are.
class PlainStream : public StreamLayer {
public:
    int Read(int fd, StreamCounters& counts, char* buffer, int size, int& error, bool& fatal) override;
    Flushed Flush(int fd, StreamCounters& counts, OutgoingQueue& queue, bool carryData, int& error) override;
};

// TLS over the connection, its handshake run by Advance.
class TlsStream : public StreamLayer {
public:
    // Whatever the peer sent before the upgrade is dropped unread, so nothing sent before the
    // handshake can pass for an answer after it; then the layer is made ready for its
    // handshake, or null with the reason (an unreadable CA file, say) in error.
    static std::unique_ptr<TlsStream> Start(int fd, StreamCounters& counts, const TlsOptions& options, QString& error);

    int Read(int fd, StreamCounters& counts, char* buffer, int size, int& error, bool& fatal) override;
    Flushed Flush(int fd, StreamCounters& counts, OutgoingQueue& queue, bool carryData, int& error) override;
    int Pending() const override { return tls_->Pending(); }
    bool Secure() const override { return tls_->Established(); }
    Setup Advance(int fd, StreamCounters& counts, bool readFirst) override;
    bool PeerEnded() const override { return peerEof_; }
    QString FailureReason() const override { return tls_->FailureReason(); }

private:
    std::unique_ptr<TlsLayer> tls_;
    bool peerEof_ = false;
    QByteArray out_; // encrypted bytes the network has not taken yet
};

} // namespace kestravo::mail
