// SPDX-License-Identifier: Apache-2.0
#include "loopback_peer.h"
#include "wait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <netdb.h>
#include <string>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestravo::testkit {

namespace {

// A listening socket on a numeric loopback address (127.0.0.1, 127.0.0.2, ::1) and the given port,
// or one the system picks for 0; the port taken comes back in port. -1 when it cannot be had.
int TryListeningSocket(const char* address, int receiveBufferSize, int& port, int backlog = 4)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(address, service.c_str(), &hints, &res) != 0)
        return -1;
    const int fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && res->ai_family == AF_INET6) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (fd >= 0 && receiveBufferSize > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof receiveBufferSize);
    const bool ok = fd >= 0 && ::bind(fd, res->ai_addr, res->ai_addrlen) == 0 && ::listen(fd, backlog) == 0;
    ::freeaddrinfo(res);
    if (!ok) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    return fd;
}

int ListeningSocket(int receiveBufferSize, int& port, const char* address = "127.0.0.1")
{
    const int fd = TryListeningSocket(address, receiveBufferSize, port);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot listen on ") + address);
    return fd;
}

} // namespace

LoopbackPeer::LoopbackPeer(int receiveBufferSize, const char* address, int port)
{
    port_ = port;
    listen_ = ListeningSocket(receiveBufferSize, port_, address);
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

bool CanListenOn(const char* address)
{
    int port = 0;
    const int fd = TryListeningSocket(address, 0, port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

SilentListener::SilentListener(const char* address, int port)
{
    port_ = port;
    listen_ = TryListeningSocket(address, 0, port_, 0);
    if (listen_ < 0)
        throw std::runtime_error(std::string("cannot listen on ") + address);
    // One connection fills the queue; later ones wait for an answer that does not come.
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    filler_ = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(filler_, reinterpret_cast<sockaddr*>(&a), len);
}

SilentListener::~SilentListener()
{
    if (filler_ >= 0)
        ::close(filler_);
    if (listen_ >= 0)
        ::close(listen_);
}

int UnusedPort()
{
    int port = 0;
    const int fd = ListeningSocket(0, port);
    ::close(fd);
    return port;
}

} // namespace kestravo::testkit
