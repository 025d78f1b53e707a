// SPDX-License-Identifier: Apache-2.0
#pragma once
// The far end of a loopback TCP connection, driven by the test itself with plain POSIX calls
// while Qt's event loop keeps running, for tests of the socket layer itself.
#include <QByteArray>

namespace kestravo::testkit {

class LoopbackPeer {
public:
    // Listens on 127.0.0.1 (or another numeric loopback address, "::1" for IPv6) at a port the
    // system picks (or the one given). A positive receive buffer size is set on the listening
    // socket, so the accepted connection reads slowly.
    explicit LoopbackPeer(int receiveBufferSize = 0, const char* address = "127.0.0.1", int port = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int Port() const { return port_; }
    QByteArray PortText() const { return QByteArray::number(port_); }

    // Accepts the pending connection, keeping the event loop running while it waits.
    bool Accept();
    bool Connected() const { return conn_ >= 0; }
    void SendBytes(const QByteArray& bytes);
    // Reads until `count` bytes have come or the connection ends (event loop kept running).
    QByteArray ReadAtLeast(int count);
    // Reads everything until the other side closes.
    QByteArray ReadToEnd();
    void CloseConnection();
    // Closes with a reset instead of an orderly end.
    void ResetConnection();
    void StopListening();

private:
    int listen_ = -1;
    int conn_ = -1;
    int port_ = 0;
};

// A port on 127.0.0.1 on which nothing listens (bound once, then released).
int UnusedPort();

// Whether a socket can listen on this numeric address here (::1 needs IPv6 on the loopback).
bool CanListenOn(const char* address);

// A listener whose queue is full: a connect to it neither succeeds nor fails, as towards an
// address that drops everything.
class SilentListener {
public:
    SilentListener(const char* address, int port);
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int Port() const { return port_; }

private:
    int listen_ = -1;
    int filler_ = -1;
    int port_ = 0;
};

} // namespace kestravo::testkit
