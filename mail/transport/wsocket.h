#pragma once
// TWSocket: an asynchronous IPv4 TCP socket whose happenings (lookup done, connected, data
// readable, all data sent, closed) arrive as events on the owner's thread, out of its event loop.
// Errors are reported with Windows Sockets numbers (10061 refused, 10060 timed out, 11001 unknown
// host, ...), since the SMTP client reports them to the operator.
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

class TWSocket : public TVyrWndControl {
public:
    explicit TWSocket(QObject* parent = nullptr);
    ~TWSocket() override;

    // Properties. The setters of Addr, Port, Proto and LocalAddr raise "Cannot change X if not
    // closed" for a new value while the state is not wsClosed.
    QString Addr() const;
    void SetAddr(const QString& value);
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

    // Events; an unassigned one changes nothing.
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnDnsLookupDone;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnSessionConnected;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnDataAvailable;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnDataSent;
    std::function<void(TWSocket* Sender, std::uint16_t ErrCode)> OnSessionClosed;
    std::function<void(TWSocket* Sender, TSocketState OldState, TSocketState NewState)> OnChangeState;
    std::function<void(TWSocket* Sender)> OnError;

    // Number of sockets alive in the process (the SMTP client names its socket with it).
    static int LiveCount();

protected:
    void WndProc(int msg, quintptr wParam, qintptr lParam) override;

private:
    struct Impl;
    Impl* d_;
};

// Error texts.
QString WSocketErrorDesc(int code);             // "Connection refused", ..., "Not a WinSock error"
QString WSocketErrorMsgFromErrorCode(int code); // "Winsock - " + WSocketErrorDesc(code)
QString GetWinsockErr(int code);                // WSocketErrorDesc(code) + " (#" + code + ")"
bool WSocketIsDottedIP(const QString& text);
QString LocalHostName();                        // throws ESocketException "Winsock Get Host Name failed"

} // namespace kestravo::mail
