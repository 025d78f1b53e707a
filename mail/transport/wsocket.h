// SPDX-License-Identifier: Apache-2.0
#pragma once
// TWSocket: an asynchronous TCP socket, IPv6 and IPv4, whose happenings (lookup done, connected,
// data readable, all data sent, closed) arrive as events on the owner's thread, out of its event
// loop.
// Errors are reported with Windows Sockets numbers (10061 refused, 10060 timed out, 11001 unknown
// host, ...), since the SMTP client reports them to the operator.
#include "resolver.h"
#include "socket_errors.h"
#include "stream_layer.h"
#include "tls_layer.h"
#include "wndcontrol.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace kestravo::mail {

enum TSocketState {
    wsInvalidState, wsOpened, wsBound, wsConnecting, wsSocksConnected,
    wsConnected, wsAccepting, wsListening, wsClosed
};
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Behaviour switches of a socket (ComponentOptions), none on by default:
// - wsoNoReceiveLoop: one OnDataAvailable per readable notification, even with more bytes waiting;
// - wsoTcpNoDelay: small writes go out at once (TCP_NODELAY), instead of waiting for the peer's
//   acknowledgement of the previous one, which a peer that delays its ACKs holds back ~40 ms.
enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay };
using TWSocketOptions = unsigned; // bit n stands for the TWSocketOption n
constexpr TWSocketOptions WSocketOptionBit(TWSocketOption o) { return 1u << o; }

class TWSocket : public TVyrWndControl {
public:
    explicit TWSocket(QObject* parent = nullptr);
    ~TWSocket() override;

    // Properties. The setters of Addr, Port, Proto and LocalAddr raise "Cannot change X if not
    // closed" for a new value while the state is not wsClosed.
    QString Addr() const;
    // A numeric IPv4 or IPv6 address (brackets allowed), or a host name, which Connect resolves
    // with a blocking lookup and whose addresses it tries in order.
    void SetAddr(const QString& value);
    // The addresses Connect tries in order, IPv6 and IPv4 alike, moving to the next when one
    // refuses, cannot be reached or times out (ConnectAttemptTimeout); Addr becomes the first.
    // Setting Addr alone forgets the others.
    void SetAddrList(const QStringList& addresses);
    QStringList AddrList() const;
    // Milliseconds an attempt to one address may take before the next address is tried; the
    // last address is waited for as long as the system takes. 0 (the default): every attempt
    // lasts as long as the system takes.
    int ConnectAttemptTimeout() const;
    void SetConnectAttemptTimeout(int milliseconds);
    // The numeric address of the attempt under way, or of the connection made; empty when
    // there is neither.
    QString ConnectedAddr() const;
    QString Port() const;
    void SetPort(const QString& value);
    QString Proto() const;
    void SetProto(const QString& value);
    QString LocalAddr() const;
    void SetLocalAddr(const QString& value);
    QString LocalPort() const;
    void SetLocalPort(const QString& value);
    TSocketLingerOnOff LingerOnOff() const;
    void SetLingerOnOff(TSocketLingerOnOff value);
    int LingerTimeout() const;
    void SetLingerTimeout(int seconds);

    // Taken into account at the next Connect.
    TWSocketOptions ComponentOptions() const;
    void SetComponentOptions(TWSocketOptions options);
    // Bytes received by the system and not yet read.
    int BytesWaiting() const;

    QString Name() const;
    void SetName(const QString& name);

    int LastError() const;
    TSocketState State() const;
    bool AllSent() const;
    QString ResolvedAddress() const;
    QStringList ResolvedAddresses() const;
    std::uint64_t ReadCount() const;
    std::uint64_t WriteCount() const;

    // Operations.
    void DnsLookup(const QString& host);
    void CancelDnsLookup();
    void Connect();
    int Receive(void* buffer, int size);
    void PutDataInSendBuffer(const void* data, int count);
    int Send(const void* data, int count);
    int SendStr(const QByteArray& bytes);
    int SendStr(const QString& text); // converted to 8-bit first
    void Close();
    void Abort();
    void Shutdown(int how);
    // Close from the event loop, after the current handler has returned.
    void CloseDelayed();
    // Posts a message whose handler throws ESocketException "Test exception in WSocket", to
    // exercise background-exception handling.
    void PostTestException();

    // Events; an unassigned one changes nothing.
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnDnsLookupDone;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnSessionConnected;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnDataAvailable;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnDataSent;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnSessionClosed;
    std::function<void(TWSocket* Sender, TSocketState OldState, TSocketState NewState)> OnChangeState;
    std::function<void(TWSocket* Sender)> OnError;

    // TLS on the connection (tls_layer.h). StartTls upgrades it now, as STARTTLS and implicit TLS
    // both need: whatever was received before and not yet read is thrown away, so nothing sent
    // before the handshake can pass for an answer after it. The handshake runs on the socket's
    // readiness events; it ends with OnTlsDone(0, "") from the event loop, or with
    // OnTlsDone(code, reason) after which the connection is no use (the caller aborts it). While
    // it runs, Receive has nothing to give; once it is done, Receive and Send carry plain text.
    void StartTls(const TlsOptions& options);
    bool TlsEstablished() const;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode, const QString& Reason)> OnTlsDone;

    // Number of sockets alive in the process (the SMTP client names its socket with it).
    static int LiveCount();

    // Aborts the connection; run by background-exception handling.
    void AbortComponent() override;

    // Replaces the asynchronous name resolver (tests have no outside DNS). The resolver answers
    // at once with numeric addresses, IPv4 dotted or IPv6, or with a resolver error (11001..11004);
    // the socket still delivers OnDnsLookupDone later, from the event loop. An empty function
    // restores the system resolver.
    using NameResolver = HostResolver::NameResolver;
    static void SetNameResolver(NameResolver resolver);

protected:
    void WndProc(int msg, quintptr wParam, qintptr lParam) override;

    // Restores the defaults of the properties; run at construction and after every close.
    void AssignDefaultValue();
    void ChangeState(TSocketState newState);
    void TryToSend();
    // Reports an error: with OnError assigned it is called, otherwise ESocketException is raised.
    void RaiseException(const QString& text);
    // Reports a failed operation with its error number; a lost connection closes the socket.
    void SocketError(const QString& operation, int code);

private:
    struct Impl;
    Impl* d_;

    bool RefuseChange(const char* property, const QString& current, const QString& value);
    void Refuse(const QString& text);
    void FailConnect(const QString& operation, int code);
    // Tries the addresses from the current one on until an attempt is under way; insideConnect:
    // a failure of the last is raised, as Connect raises it, instead of reported as a happening.
    void StartAttempts(bool insideConnect);
    // Opens a descriptor for the current address and starts connecting: 0 when under way, -1
    // when the socket is gone or the failure was already raised, else the error (operation
    // named) with no descriptor left.
    int OpenAttempt(QString& operation);
    void NextAttempt();
    // Records an attempt's failure; returns the code to report should no address be left.
    int AttemptFailed(int code);
    void TriggerSessionClosed(int error);
    void HandleLookupDone(quintptr token);
    void DoFdConnect(int error);
    void DoFdRead(int error);
    void DoFdWrite(int error);
    void DoFdClose(int error);
    // Calls OnDataAvailable while bytes wait; with yieldToOthers it stops after a batch.
    void ASyncReceive(int error, bool yieldToOthers);
    void ReleaseDescriptor();
    void InternalClose(bool shutdownFirst);
    // The TLS handshake: advanced on readable events (reading first) and once at its start; its
    // outcome reaches OnTlsDone through the event loop.
    void UpgradeRead();
    void UpgradeStep(bool readFirst);
    void UpgradeFinish(int code, const QString& reason);
    void SendFailed(int code);
};

} // namespace kestravo::mail
