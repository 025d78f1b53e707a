// SPDX-License-Identifier: Apache-2.0
#include "loopback_peer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestravo::mail::test {

bool WaitUntil(const std::function<bool()>& condition, int deadlineMs)
{
    QDeadlineTimer deadline(deadlineMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::usleep(200);
    }
    return true;
}

void SpinFor(int ms)
{
    WaitUntil([] { return false; }, ms);
}

namespace {

int ListeningSocket(int receiveBufferSize, int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    if (receiveBufferSize > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof receiveBufferSize);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(fd, 4) < 0) {
        ::close(fd);
        throw std::runtime_error("bind/listen failed");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

LoopbackPeer::LoopbackPeer(int receiveBufferSize)
{
    listen_ = ListeningSocket(receiveBufferSize, port_);
    ::fcntl(listen_, F_SETFL, ::fcntl(listen_, F_GETFL) | O_NONBLOCK);
}

LoopbackPeer::~LoopbackPeer()
{
    CloseConnection();
    StopListening();
}

bool LoopbackPeer::Accept()
{
    return WaitUntil([this] {
        conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        return conn_ >= 0;
    });
}

void LoopbackPeer::SendBytes(const QByteArray& bytes)
{
    qsizetype done = 0;
    WaitUntil([&] {
        const ssize_t n = ::send(conn_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN)
            return true;
        return done == bytes.size();
    });
}

QByteArray LoopbackPeer::ReadAtLeast(int count)
{
    QByteArray got;
    WaitUntil([&] {
        char buf[65536];
        const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
        if (n > 0)
            got.append(buf, n);
        else if (n == 0 || errno != EAGAIN)
            return true;
        return got.size() >= count;
    });
    return got;
}

QByteArray LoopbackPeer::ReadToEnd()
{
    // Until the client closes: no count is ever enough.
    return ReadAtLeast(std::numeric_limits<int>::max());
}

void LoopbackPeer::CloseConnection()
{
    if (conn_ >= 0)
        ::close(conn_);
    conn_ = -1;
}

void LoopbackPeer::ResetConnection()
{
    if (conn_ < 0)
        return;
    linger l{1, 0};
    ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    CloseConnection();
}

void LoopbackPeer::StopListening()
{
    if (listen_ >= 0)
        ::close(listen_);
    listen_ = -1;
}

int UnusedPort()
{
    int port = 0;
    const int fd = ListeningSocket(0, port);
    ::close(fd);
    return port;
}

} // namespace kestravo::mail::test
