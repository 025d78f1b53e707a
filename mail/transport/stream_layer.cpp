// SPDX-License-Identifier: Apache-2.0
// The plain and the TLS stream layers over a non-blocking POSIX descriptor.
#include "stream_layer.h"

#include "socket_errors.h"

#include <sys/socket.h>

#include <cerrno>

namespace kestravo::mail {

void OutgoingQueue::Append(const char* data, int count)
{
    int left = count;
    while (left > 0) {
        if (chunks_.empty() || chunks_.back().data.size() >= kChunkSize) {
            chunks_.emplace_back();
            chunks_.back().data.reserve(kChunkSize);
        }
        QByteArray& last = chunks_.back().data;
        const int take = std::min(left, kChunkSize - static_cast<int>(last.size()));
        last.append(data, take);
        data += take;
        left -= take;
    }
    buffered_ += count;
}

void OutgoingQueue::Clear()
{
    chunks_.clear();
    buffered_ = 0;
}

// ---- plain ------------------------------------------------------------------------------------

int PlainStream::Read(int fd, StreamCounters& counts, char* buffer, int size, int& error, bool&)
{
    const ssize_t n = ::recv(fd, buffer, static_cast<size_t>(size < 0 ? 0 : size), MSG_DONTWAIT);
    if (n < 0) {
        error = WSocketErrorFromErrno(errno);
        return -1;
    }
    counts.read += static_cast<std::uint64_t>(n);
    return static_cast<int>(n);
}

StreamLayer::Flushed PlainStream::Flush(int fd, StreamCounters& counts, OutgoingQueue& queue, bool, int& error)
{
    for (;;) {
        if (queue.Empty())
            return Flushed::Drained;
        OutgoingQueue::Chunk& chunk = queue.Chunks().front();
        const int length = static_cast<int>(chunk.data.size()) - chunk.sent;
        const ssize_t n = ::send(fd, chunk.data.constData() + chunk.sent, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n < 0) {
            error = WSocketErrorFromErrno(errno);
            return error == 10035 ? Flushed::WouldBlock : Flushed::Failed;
        }
        queue.Took(n);
        counts.written += static_cast<std::uint64_t>(n);
        chunk.sent += static_cast<int>(n);
        // The rest of a chunk waits for the socket to become writable.
        if (chunk.sent < chunk.data.size())
            return Flushed::WouldBlock;
        queue.Chunks().pop_front();
    }
}

// ---- TLS --------------------------------------------------------------------------------------

namespace {

// Plain text that went into the layer (a password among it) is not left lying in freed memory.
void Wipe(QByteArray& bytes)
{
    volatile char* p = bytes.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        p[i] = 0;
}

} // namespace

std::unique_ptr<TlsStream> TlsStream::Start(int fd, StreamCounters& counts, const TlsOptions& options, QString& error)
{
    bool peerEof = false;
    char discard[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
        if (n > 0) {
            counts.read += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0)
            peerEof = true;
        break;
    }
    std::unique_ptr<TlsLayer> tls = TlsLayer::Create(options, error);
    if (!tls)
        return nullptr;
    std::unique_ptr<TlsStream> stream(new TlsStream);
    stream->tls_ = std::move(tls);
    stream->peerEof_ = peerEof;
    if (peerEof)
        stream->tls_->PeerClosed();
    return stream;
}

StreamLayer::Setup TlsStream::Advance(int fd, StreamCounters& counts, bool readFirst)
{
    char raw[16384];
    while (readFirst && !peerEof_) {
        const ssize_t n = ::recv(fd, raw, sizeof raw, MSG_DONTWAIT);
        if (n > 0) {
            counts.read += static_cast<std::uint64_t>(n);
            tls_->Feed(raw, static_cast<int>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        peerEof_ = true; // closed, or reset
        tls_->PeerClosed();
    }
    switch (tls_->Handshake()) {
    case TlsLayer::Step::Done: return Setup::Done;
    case TlsLayer::Step::More: return Setup::More;
    case TlsLayer::Step::Failed: break;
    }
    return Setup::Failed;
}

int TlsStream::Read(int fd, StreamCounters& counts, char* buffer, int size, int& error, bool& fatal)
{
    char raw[16384];
    for (;;) {
        const int n = tls_->Read(buffer, size);
        if (n >= 0) {
            counts.read += static_cast<std::uint64_t>(n);
            return n;
        }
        if (n == -2) {
            // A record that fails its check: nothing after it can be trusted.
            error = 10053;
            fatal = true;
            return -1;
        }
        if (peerEof_)
            return 0;
        const ssize_t r = ::recv(fd, raw, sizeof raw, MSG_DONTWAIT);
        if (r > 0) {
            tls_->Feed(raw, static_cast<int>(r));
            continue;
        }
        if (r == 0) {
            peerEof_ = true;
            tls_->PeerClosed();
            continue;
        }
        error = WSocketErrorFromErrno(errno);
        return -1;
    }
}

StreamLayer::Flushed TlsStream::Flush(int fd, StreamCounters& counts, OutgoingQueue& queue, bool carryData, int& error)
{
    if (tls_->Established() && carryData) {
        while (!queue.Empty()) {
            OutgoingQueue::Chunk& chunk = queue.Chunks().front();
            tls_->Write(chunk.data.constData() + chunk.sent, static_cast<int>(chunk.data.size()) - chunk.sent);
            Wipe(chunk.data);
            queue.Chunks().pop_front();
        }
        queue.Took(queue.Buffered());
    }
    out_.append(tls_->TakeOutgoing());
    while (!out_.isEmpty()) {
        const ssize_t n = ::send(fd, out_.constData(), static_cast<size_t>(out_.size()), MSG_NOSIGNAL);
        if (n < 0) {
            error = WSocketErrorFromErrno(errno);
            return error == 10035 || error == 10004 ? Flushed::WouldBlock : Flushed::Failed;
        }
        counts.written += static_cast<std::uint64_t>(n);
        out_.remove(0, n);
    }
    return Flushed::Drained;
}

} // namespace kestravo::mail
