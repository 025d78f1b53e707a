// SPDX-License-Identifier: Apache-2.0
// TCP (RFC 9293) over POSIX non-blocking IPv6 and IPv4 sockets. Readiness comes from
// QSocketNotifier; a notifier only posts a message to its socket and the message handler does the
// work, so event handlers never run inside Qt's notifier code and may even free the socket. Name
// lookups (resolver.h) answer the same way, through a posted message. A host with several
// addresses is tried at each in turn until one answers. Bytes move through a stream layer
// (stream_layer.h): the plain one, or TLS once StartTls has run. Errors carry the Windows
// Sockets numbers (socket_errors.h) that the SMTP client reports to the operator.
#include "wsocket.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace kestravo::mail {

namespace {

std::atomic<int> gLiveCount{0};

// Happenings carried in the low half of a network notification's second parameter; the error
// code sits in the high half.
enum Happening : int { kFdRead = 0x01, kFdWrite = 0x02, kFdConnect = 0x10, kFdClose = 0x20 };

qintptr MakeSelectParam(int happening, int error)
{
    return static_cast<qintptr>((static_cast<quint32>(error & 0xFFFF) << 16) | (happening & 0xFFFF));
}

// Rounds of the receive loop run for one readable notification before the event loop gets a turn.
constexpr int kReceiveRoundsPerTurn = 16;

bool IsConnectionLost(int code)
{
    return code == 10054 || code == 10038 || code == 10057 || code == 10022 || code == 10053;
}

} // namespace

struct TWSocket::Impl {
    int fd = -1;
    // Changes with every socket created and closed, so notifications of an old one are ignored
    // even when the system reuses the descriptor number.
    quintptr generation = 0;
    TSocketState state = wsClosed;

    QString addr, port, proto = QStringLiteral("tcp");
    QString localAddr = QStringLiteral("0.0.0.0"), localPort = QStringLiteral("0");
    bool addrGiven = false, portGiven = false, protoGiven = true;
    TSocketLingerOnOff lingerOnOff = wsLingerOn;
    TWSocketOptions options = 0;
    int lingerTimeout = 0;
    int lastError = 0;
    int protoNumber = 6;

    HostResolver resolver;
    QStringList resolved;
    // Addresses Connect tries after Addr's own (SetAddrList), and what the attempts are made to.
    QStringList moreAddrs;
    AddressAttempts attempts;
    SockAddr local;
    bool bindLocal = false;
    int localPortNumber = 0;
    int sockType = SOCK_STREAM;
    int connectAttemptTimeoutMs = 0;
    QTimer* attemptTimer = nullptr;

    OutgoingQueue sendBuffer;
    bool allSent = true;
    bool dataSentOwed = false; // OnDataSent is due once the buffer has drained
    bool closeReported = false;
    bool destroying = false;

    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;
    bool inReadHandling = false;
    bool readWaitsForReceive = false;
    int receiveLostError = 0; // a reset seen by Receive, reported with the close that follows
    std::uint64_t receiveCalls = 0;

    StreamCounters counts;

    int msgAsyncSelect = 0, msgHostByName = 0, msgHostByAddr = 0, msgCloseDelayed = 0, msgTest = 0, msgSpare = 0, msgUpgradeDone = 0;

    // What the bytes pass through: the plain stream, or TLS once StartTls has run.
    std::unique_ptr<StreamLayer> layer = std::make_unique<PlainStream>();
    bool upgraded = false;
    // From StartTls until OnTlsDone has been delivered: no application data moves meanwhile.
    bool upgrading = false;
    bool upgradeDonePosted = false;
    int upgradeDoneCode = 0;
    QString upgradeDoneReason;
};

TWSocket::TWSocket(QObject* parent) : TVyrWndControl(parent), d_(new Impl)
{
    d_->msgAsyncSelect = AllocateMsg();
    d_->msgHostByName = AllocateMsg();
    d_->msgHostByAddr = AllocateMsg();
    d_->msgCloseDelayed = AllocateMsg();
    d_->msgTest = AllocateMsg();
    d_->msgSpare = AllocateMsg();
    d_->msgUpgradeDone = AllocateMsg();
    // An attempt that runs out of time goes on from the event loop like any other happening.
    d_->attemptTimer = new QTimer(this);
    d_->attemptTimer->setSingleShot(true);
    QObject::connect(d_->attemptTimer, &QTimer::timeout, this,
                     [this] { PostMsg(d_->msgSpare, d_->generation, 0); });
    ++gLiveCount;
}

TWSocket::~TWSocket()
{
    // No event fires while the socket is being destroyed.
    d_->destroying = true;
    OnDnsLookupDone = nullptr;
    OnSessionConnected = nullptr;
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSessionClosed = nullptr;
    OnChangeState = nullptr;
    OnError = nullptr;
    OnTlsDone = nullptr;
    CancelDnsLookup();
    delete d_->readNotifier;
    delete d_->writeNotifier;
    if (d_->fd >= 0)
        ::close(d_->fd);
    delete d_;
    --gLiveCount;
}

int TWSocket::LiveCount() { return gLiveCount.load(); }

void TWSocket::SetNameResolver(NameResolver resolver) { HostResolver::SetNameResolver(std::move(resolver)); }

void TWSocket::AbortComponent() { Abort(); }

// ---- properties -------------------------------------------------------------------------------

QString TWSocket::Addr() const { return d_->addr; }
QString TWSocket::Port() const { return d_->port; }
QString TWSocket::Proto() const { return d_->proto; }
QString TWSocket::LocalAddr() const { return d_->localAddr; }
QString TWSocket::LocalPort() const { return d_->localPort; }
TSocketLingerOnOff TWSocket::LingerOnOff() const { return d_->lingerOnOff; }
void TWSocket::SetLingerOnOff(TSocketLingerOnOff value) { d_->lingerOnOff = value; }
int TWSocket::LingerTimeout() const { return d_->lingerTimeout; }
void TWSocket::SetLingerTimeout(int seconds) { d_->lingerTimeout = seconds; }
TWSocketOptions TWSocket::ComponentOptions() const { return d_->options; }
void TWSocket::SetComponentOptions(TWSocketOptions options) { d_->options = options; }

QString TWSocket::Name() const { return objectName(); }
void TWSocket::SetName(const QString& name) { setObjectName(name); }
int TWSocket::LastError() const { return d_->lastError; }
TSocketState TWSocket::State() const { return d_->state; }
bool TWSocket::AllSent() const { return d_->allSent; }
QString TWSocket::ResolvedAddress() const { return d_->resolved.isEmpty() ? QString() : d_->resolved.first(); }
QStringList TWSocket::ResolvedAddresses() const { return d_->resolved; }
std::uint64_t TWSocket::ReadCount() const { return d_->counts.read; }
std::uint64_t TWSocket::WriteCount() const { return d_->counts.written; }

bool TWSocket::RefuseChange(const char* property, const QString& current, const QString& value)
{
    if (d_->state == wsClosed || value == current)
        return false;
    d_->lastError = 10022;
    RaiseException(QStringLiteral("Cannot change %1 if not closed").arg(QLatin1String(property)));
    return true;
}

void TWSocket::SetAddr(const QString& value)
{
    const QString v = value.trimmed();
    if (RefuseChange("Addr", d_->addr, v))
        return;
    d_->addr = v;
    d_->addrGiven = !v.isEmpty();
    d_->moreAddrs.clear();
}

void TWSocket::SetAddrList(const QStringList& addresses)
{
    SetAddr(addresses.value(0));
    if (d_->state == wsClosed && addresses.size() > 1)
        d_->moreAddrs = addresses.mid(1);
}

QStringList TWSocket::AddrList() const
{
    return d_->addrGiven ? QStringList{d_->addr} + d_->moreAddrs : QStringList();
}

int TWSocket::ConnectAttemptTimeout() const { return d_->connectAttemptTimeoutMs; }
void TWSocket::SetConnectAttemptTimeout(int milliseconds) { d_->connectAttemptTimeoutMs = std::max(0, milliseconds); }

QString TWSocket::ConnectedAddr() const
{
    if (d_->fd < 0 || !d_->attempts.Valid())
        return QString();
    return d_->attempts.Current().Text();
}

void TWSocket::SetPort(const QString& value)
{
    const QString v = value.trimmed();
    if (RefuseChange("Port", d_->port, v))
        return;
    d_->port = v;
    d_->portGiven = !v.isEmpty();
}

void TWSocket::SetProto(const QString& value)
{
    const QString v = value.trimmed();
    if (RefuseChange("Proto", d_->proto, v))
        return;
    d_->proto = v;
    d_->protoGiven = !v.isEmpty();
}

void TWSocket::SetLocalAddr(const QString& value)
{
    QString v = value.trimmed();
    if (v.isEmpty())
        v = QStringLiteral("0.0.0.0");
    if (RefuseChange("LocalAddr", d_->localAddr, v))
        return;
    d_->localAddr = v;
}

void TWSocket::SetLocalPort(const QString& value) { d_->localPort = value.trimmed(); }

void TWSocket::AssignDefaultValue()
{
    // Addr and Port keep their texts but count as not given until set again.
    d_->addrGiven = false;
    d_->portGiven = false;
    d_->proto = QStringLiteral("tcp");
    d_->protoGiven = true;
    d_->localAddr = QStringLiteral("0.0.0.0");
    d_->localPort = QStringLiteral("0");
    d_->lastError = 0;
    d_->lingerOnOff = wsLingerOn;
    d_->lingerTimeout = 0;
}

// ---- events -----------------------------------------------------------------------------------

void TWSocket::ChangeState(TSocketState newState)
{
    if (d_->state == newState)
        return;
    const TSocketState old = d_->state;
    d_->state = newState;
    if (OnChangeState)
        OnChangeState(this, old, newState);
}

void TWSocket::TriggerSessionClosed(int error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, static_cast<std::uint16_t>(error));
}

// ---- errors -----------------------------------------------------------------------------------

void TWSocket::RaiseException(const QString& text)
{
    if (OnError) {
        OnError(this);
        return;
    }
    throw ESocketException(text.toStdString());
}

void TWSocket::SocketError(const QString& operation, int code)
{
    const QString text = QStringLiteral("%1 (#%2 in %3)").arg(WSocketErrorDesc(code)).arg(code).arg(operation);
    if (code == 10054 || code == 10057) {
        QPointer<TWSocket> self(this);
        ReleaseDescriptor();
        if (d_->state != wsClosed) {
            if (!d_->closeReported) {
                d_->closeReported = true;
                TriggerSessionClosed(code);
                if (!self)
                    return;
            }
            ChangeState(wsClosed);
            if (!self)
                return;
            AssignDefaultValue();
        }
    }
    d_->lastError = code;
    RaiseException(text);
}

// ---- name lookup ------------------------------------------------------------------------------

void TWSocket::DnsLookup(const QString& host)
{
    const QString name = host.trimmed();
    if (name.isEmpty()) {
        d_->lastError = 10022;
        RaiseException(QStringLiteral("DNS lookup: invalid host name."));
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, 10022);
        return;
    }
    CancelDnsLookup();
    d_->resolved.clear();

    QString numeric;
    if (HostResolver::NumericAnswer(name, numeric)) {
        d_->resolved << numeric;
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, 0);
        return;
    }
    // The answer comes back through the event loop like every other happening, never inside
    // this call.
    d_->resolver.Start(name, [this](quintptr token) { PostMsg(d_->msgHostByName, token, 0); });
}

void TWSocket::CancelDnsLookup() { d_->resolver.Cancel(); }

void TWSocket::HandleLookupDone(quintptr token)
{
    int error = 0;
    if (!d_->resolver.Take(token, d_->resolved, error))
        return;
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, static_cast<std::uint16_t>(error));
}

// ---- connecting -------------------------------------------------------------------------------

void TWSocket::Refuse(const QString& text)
{
    // A refusal is a failure too: LastError never stays 0 for it.
    d_->lastError = 10022;
    RaiseException(text);
}

void TWSocket::FailConnect(const QString& operation, int code)
{
    // The attempt never started: release the descriptor quietly so the socket is usable again.
    QPointer<TWSocket> self(this);
    if (d_->fd >= 0)
        ReleaseDescriptor();
    if (d_->state != wsClosed) {
        d_->closeReported = true;
        ChangeState(wsClosed);
        if (!self)
            return;
        AssignDefaultValue();
    }
    SocketError(operation, code);
}

void TWSocket::Connect()
{
    if (d_->fd >= 0 && d_->state != wsClosed)
        return Refuse(QStringLiteral("Connect: Socket already in use"));
    if (!d_->portGiven)
        return Refuse(QStringLiteral("Connect: No Port Specified"));
    if (!d_->addrGiven)
        return Refuse(QStringLiteral("Connect: No IP Address Specified"));
    if (!d_->protoGiven)
        return Refuse(QStringLiteral("Connect: No Protocol Specified"));

    int proto = 0, remotePort = 0, localPort = 0;
    std::vector<SockAddr> candidates;
    SockAddr local;
    bool bindLocal = false;
    try {
        proto = HostResolver::ResolveProto(d_->proto);
        remotePort = HostResolver::ResolvePort(d_->port, d_->proto);
        localPort = HostResolver::ResolvePort(d_->localPort, d_->proto);
        candidates = HostResolver::ResolveHost(d_->addr, quint16(remotePort));
        for (const QString& more : d_->moreAddrs) {
            const std::vector<SockAddr> extra = HostResolver::ResolveHost(more, quint16(remotePort));
            candidates.insert(candidates.end(), extra.begin(), extra.end());
        }
        if (HostResolver::IsAnyAddress(d_->localAddr)) {
            bindLocal = localPort != 0;
        } else {
            local = HostResolver::ResolveHost(d_->localAddr, quint16(localPort)).front();
            bindLocal = true;
        }
    } catch (const ResolveError& e) {
        d_->lastError = e.code_;
        RaiseException(QStringLiteral("connect: ") + QString::fromStdString(e.what()));
        return;
    }
    d_->protoNumber = proto;
    d_->sockType = proto == 6 ? SOCK_STREAM : proto == 17 ? SOCK_DGRAM : SOCK_RAW;
    d_->attempts.Reset(std::move(candidates));
    d_->local = local;
    d_->bindLocal = bindLocal;
    if (bindLocal && HostResolver::IsAnyAddress(d_->localAddr))
        d_->local = SockAddr{}; // the any-address of each attempt's family, with the local port
    d_->localPortNumber = localPort;

    d_->sendBuffer.Clear();
    d_->allSent = true;
    d_->dataSentOwed = false;

    StartAttempts(true);
}

void TWSocket::StartAttempts(bool insideConnect)
{
    QPointer<TWSocket> self(this);
    for (;;) {
        QString operation;
        const int code = OpenAttempt(operation);
        if (!self || code <= 0)
            return;
        const int reported = AttemptFailed(code);
        // This address cannot be tried at all: on to the next one, if there is one.
        if (d_->attempts.HasNext()) {
            d_->attempts.Advance();
            continue;
        }
        if (insideConnect && reported == code)
            return FailConnect(operation, code);
        if (insideConnect) {
            // An earlier address answered (refused, say): that answer is the attempt's end, and
            // it comes as a happening, after Connect has returned.
            ChangeState(wsConnecting);
            if (!self)
                return;
            PostMsg(d_->msgSpare, d_->generation, reported);
            return;
        }
        // A later attempt runs inside a happening, where nothing may be raised: it ends as a
        // connect attempt that failed.
        return DoFdConnect(reported);
    }
}

int TWSocket::AttemptFailed(int code)
{
    return d_->attempts.Failed(code);
}

int TWSocket::OpenAttempt(QString& operation)
{
    const SockAddr& remote = d_->attempts.Current();
    const bool last = !d_->attempts.HasNext();
    const int type = d_->sockType;
    auto failed = [&](const char* op, int code) {
        operation = QString::fromLatin1(op);
        ReleaseDescriptor();
        return code;
    };

    const int fd = ::socket(remote.Family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, d_->protoNumber);
    if (fd < 0) {
        operation = QStringLiteral("Connect (socket)");
        return WSocketErrorFromErrno(errno);
    }
    d_->fd = fd;
    ++d_->generation;
    d_->closeReported = false;
    d_->readWaitsForReceive = false;

    QPointer<TWSocket> self(this);
    // The first attempt opens the socket; further ones replace its descriptor while it stays
    // wsConnecting.
    const bool first = d_->state != wsConnecting;
    if (first) {
        ChangeState(wsOpened);
        if (!self)
            return -1;
        if (d_->state != wsOpened) {
            FailConnect(QStringLiteral("Connect (Invalid operation in OnChangeState)"), 10022);
            return -1;
        }
    }

    if (type == SOCK_STREAM) {
        const int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
            return failed("setsockopt(SO_REUSEADDR)", WSocketErrorFromErrno(errno));
        if (d_->options & WSocketOptionBit(wsoTcpNoDelay)) {
            if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0)
                return failed("setsockopt(TCP_NODELAY)", WSocketErrorFromErrno(errno));
        }
        if (d_->lingerOnOff != wsLingerNoSet) {
            linger l{};
            l.l_onoff = d_->lingerOnOff == wsLingerOn ? 1 : 0;
            l.l_linger = d_->lingerTimeout;
            if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0)
                return failed("setsockopt(SO_LINGER)", WSocketErrorFromErrno(errno));
        }
        if (d_->bindLocal) {
            // A local address of one family cannot reach an address of the other.
            SockAddr local = d_->local.length != 0 ? d_->local : HostResolver::AnyAddress(remote.Family(), quint16(d_->localPortNumber));
            if (local.Family() != remote.Family())
                return failed("Connect (bind)", 10047);
            if (::bind(fd, local.Get(), local.length) < 0)
                return failed("Connect (bind)", WSocketErrorFromErrno(errno));
        }
    }

    d_->readNotifier = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read);
    d_->readNotifier->setEnabled(false);
    d_->writeNotifier = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Write);
    d_->writeNotifier->setEnabled(false);
    // Level-triggered: a notifier is switched off until its posted message has been handled.
    QObject::connect(d_->readNotifier, &QSocketNotifier::activated, this, [this] {
        d_->readNotifier->setEnabled(false);
        PostMsg(d_->msgAsyncSelect, d_->generation, MakeSelectParam(kFdRead, 0));
    });
    QObject::connect(d_->writeNotifier, &QSocketNotifier::activated, this, [this] {
        d_->writeNotifier->setEnabled(false);
        PostMsg(d_->msgAsyncSelect, d_->generation, MakeSelectParam(kFdWrite, 0));
    });

    if (::connect(fd, remote.Get(), remote.length) == 0 || errno == EINPROGRESS) {
        if (first) {
            ChangeState(wsConnecting);
            if (!self)
                return -1;
        }
        if (d_->fd >= 0 && d_->writeNotifier)
            d_->writeNotifier->setEnabled(true); // writable = the connect has finished
        // An address that does not answer must not keep the next one from being tried.
        if (!last && d_->fd >= 0 && d_->connectAttemptTimeoutMs > 0)
            d_->attemptTimer->start(d_->connectAttemptTimeoutMs);
        return 0;
    }
    const int err = errno;
    const int code = WSocketErrorFromErrno(err);
    if (!last)
        return failed("Connect", code);
    switch (err) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
        // A loopback refusal can come back at once; report it the way a late one arrives, as the
        // end of the connect attempt, not as a failure of the call.
        if (first) {
            ChangeState(wsConnecting);
            if (!self)
                return -1;
        }
        if (d_->fd >= 0)
            PostMsg(d_->msgAsyncSelect, d_->generation, MakeSelectParam(kFdConnect, code));
        return 0;
    default:
        return failed("Connect", code);
    }
}

void TWSocket::NextAttempt()
{
    // The descriptor of the failed attempt goes quietly: the connection it was to make never was.
    ReleaseDescriptor();
    d_->attempts.Advance();
    StartAttempts(false);
}

// ---- network happenings -----------------------------------------------------------------------

void TWSocket::WndProc(int msg, quintptr wParam, qintptr lParam)
{
    if (msg == d_->msgAsyncSelect) {
        if (wParam != d_->generation || d_->fd < 0)
            return; // a notification of a socket closed since
        const int happening = static_cast<int>(lParam & 0xFFFF);
        const int error = static_cast<int>((static_cast<quint64>(lParam) >> 16) & 0xFFFF);
        QPointer<TWSocket> self(this);
        if (happening & kFdConnect) {
            DoFdConnect(error);
            if (!self || d_->fd < 0)
                return;
        }
        if (happening & kFdRead) {
            DoFdRead(error);
            if (!self || d_->fd < 0)
                return;
        }
        if (happening & kFdWrite)
            DoFdWrite(error);
        return;
    }
    if (msg == d_->msgUpgradeDone) {
        if (wParam != d_->generation || d_->fd < 0 || !d_->upgradeDonePosted)
            return;
        d_->upgradeDonePosted = false;
        d_->upgrading = false;
        const int code = d_->upgradeDoneCode;
        const QString reason = d_->upgradeDoneReason;
        if (code == 0) {
            // What came with the end of the handshake (a greeting, say) is read now.
            if (d_->readNotifier)
                d_->readNotifier->setEnabled(true);
            PostMsg(d_->msgAsyncSelect, d_->generation, MakeSelectParam(kFdRead, 0));
        }
        if (OnTlsDone)
            OnTlsDone(this, static_cast<std::uint16_t>(code), reason);
        return;
    }
    if (msg == d_->msgHostByName)
        return HandleLookupDone(wParam);
    if (msg == d_->msgSpare) {
        if (wParam != d_->generation || d_->state != wsConnecting)
            return;
        // Every address failed inside Connect, one of them with an answer worth reporting.
        if (lParam != 0 && d_->fd < 0)
            return DoFdConnect(static_cast<int>(lParam));
        // The attempt to one address ran out of time while another is left to try.
        if (lParam == 0 && d_->fd >= 0 && d_->attempts.HasNext()) {
            AttemptFailed(10060);
            NextAttempt();
        }
        return;
    }
    if (msg == d_->msgCloseDelayed)
        return Close();
    if (msg == d_->msgTest)
        throw ESocketException("Test exception in WSocket");
    TVyrWndControl::WndProc(msg, wParam, lParam);
}

void TWSocket::CloseDelayed() { PostMsg(d_->msgCloseDelayed, 0, 0); }

void TWSocket::PostTestException() { PostMsg(d_->msgTest, 0, 0); }

void TWSocket::DoFdConnect(int error)
{
    if (d_->state == wsConnected)
        return;
    d_->attemptTimer->stop();
    if (error != 0 && d_->state == wsConnecting) {
        error = AttemptFailed(error);
        // Refused, unreachable, timed out: the next address of the host gets its turn.
        if (d_->attempts.HasNext())
            return NextAttempt();
    }
    QPointer<TWSocket> self(this);
    ChangeState(wsConnected);
    if (!self)
        return;
    if (error == 0 && d_->fd >= 0 && d_->readNotifier)
        d_->readNotifier->setEnabled(true);
    if (OnSessionConnected)
        OnSessionConnected(this, static_cast<std::uint16_t>(error));
    if (!self)
        return;
    if (error != 0 && d_->state != wsClosed)
        Close();
}

void TWSocket::DoFdRead(int error)
{
    QPointer<TWSocket> self(this);
    if (d_->state != wsConnected) {
        ChangeState(wsConnected);
        if (!self)
            return;
        if (OnSessionConnected)
            OnSessionConnected(this, static_cast<std::uint16_t>(error));
        if (!self || d_->fd < 0)
            return;
    }
    if (d_->upgrading)
        return UpgradeRead();
    const std::uint64_t callsBefore = d_->receiveCalls;
    ASyncReceive(error, true);
    if (!self || d_->fd < 0)
        return;
    if (d_->upgrading) {
        // The handler started TLS: the handshake takes the readable events from here.
        if (d_->readNotifier)
            d_->readNotifier->setEnabled(true);
        return;
    }
    if (d_->layer->Pending() > 0) {
        // Decrypted text waits inside the layer, where no readiness event will announce it.
        if (d_->receiveCalls != callsBefore)
            PostMsg(d_->msgAsyncSelect, d_->generation, MakeSelectParam(kFdRead, 0));
        else
            d_->readWaitsForReceive = true;
        return;
    }

    // Readable with nothing to read is the peer's close (or its reset).
    char probe = 0;
    const ssize_t n = ::recv(d_->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0)
        return DoFdClose(d_->receiveLostError);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            d_->readNotifier->setEnabled(true);
            return;
        }
        return DoFdClose(WSocketErrorFromErrno(errno));
    }
    // Bytes are left: ask again only once the handler reads, as it may be waiting for something
    // else first; otherwise the level-triggered notifier would spin.
    if (d_->receiveCalls != callsBefore)
        d_->readNotifier->setEnabled(true);
    else
        d_->readWaitsForReceive = true;
}

int TWSocket::BytesWaiting() const
{
    if (d_->fd < 0 || d_->upgrading)
        return 0;
    int count = 0;
    if (::ioctl(d_->fd, FIONREAD, &count) < 0)
        count = 0;
    return count + d_->layer->Pending();
}

void TWSocket::ASyncReceive(int error, bool yieldToOthers)
{
    QPointer<TWSocket> self(this);
    d_->inReadHandling = true;
    for (int round = 1;; ++round) {
        d_->lastError = 0;
        const std::uint64_t callsBefore = d_->receiveCalls;
        try {
            if (OnDataAvailable) {
                OnDataAvailable(this, static_cast<std::uint16_t>(error));
            } else {
                char discard[1024];
                if (Receive(discard, sizeof discard) < 0 && d_->lastError == 10035) {
                    d_->lastError = 0;
                    break;
                }
            }
        } catch (...) {
            // The handler's failure ends this round of reading and goes no further.
            if (self)
                d_->inReadHandling = false;
            return;
        }
        if (!self)
            return;
        if (d_->fd < 0 || d_->lastError != 0)
            break;
        if (BytesWaiting() <= 0 || (d_->options & WSocketOptionBit(wsoNoReceiveLoop)))
            break;
        // A handler that read nothing would be called for ever; wait for it to read.
        if (d_->receiveCalls == callsBefore)
            break;
        // A peer that sends faster than the handler reads would keep this loop, and with it
        // the whole thread, busy for as long as it pleases: after a batch the rest waits for
        // the next readable notification, so timers, input and an abort get their turn.
        if (yieldToOthers && round >= kReceiveRoundsPerTurn)
            break;
    }
    d_->inReadHandling = false;
}

void TWSocket::DoFdWrite(int error)
{
    QPointer<TWSocket> self(this);
    if (d_->state == wsConnecting) {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::getsockopt(d_->fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0)
            soError = errno;
        DoFdConnect(soError == 0 ? 0 : WSocketErrorFromErrno(soError));
        if (!self || d_->fd < 0 || d_->state != wsConnected)
            return;
        // The connected socket is writable too: bytes buffered meanwhile go out now.
    }
    TryToSend();
    if (!self || d_->fd < 0)
        return;
    if (d_->allSent && d_->dataSentOwed) {
        d_->dataSentOwed = false;
        if (OnDataSent)
            OnDataSent(this, static_cast<std::uint16_t>(error));
    }
}

void TWSocket::DoFdClose(int error)
{
    if (d_->state == wsConnecting || d_->fd < 0)
        return;
    QPointer<TWSocket> self(this);
    // What arrived before the close is delivered first.
    if (d_->readNotifier)
        d_->readNotifier->setEnabled(false);
    ASyncReceive(0, false);
    if (!self)
        return;
    if (!d_->closeReported) {
        d_->closeReported = true;
        TriggerSessionClosed(error);
        if (!self)
            return;
    }
    if (d_->state != wsClosed)
        Close();
}

// ---- receiving and sending --------------------------------------------------------------------

int TWSocket::Receive(void* buffer, int size)
{
    if (d_->fd < 0) {
        d_->lastError = 10038;
        return -1;
    }
    ++d_->receiveCalls;
    if (d_->readWaitsForReceive && !d_->inReadHandling && d_->readNotifier) {
        d_->readWaitsForReceive = false;
        d_->readNotifier->setEnabled(true);
    }
    // During the TLS handshake the connection carries no application data.
    if (d_->upgrading) {
        d_->lastError = 10035;
        return -1;
    }
    int error = 0;
    bool fatal = false;
    const int n = d_->layer->Read(d_->fd, d_->counts, static_cast<char*>(buffer), size, error, fatal);
    if (n >= 0)
        return n;
    d_->lastError = error;
    if (error != 10035 && error != 10004)
        d_->receiveLostError = error;
    // The connection ends from the event loop, not inside the reader's handler.
    if (fatal)
        CloseDelayed();
    return -1;
}

void TWSocket::PutDataInSendBuffer(const void* data, int count)
{
    if (count <= 0 || !data)
        return;
    d_->sendBuffer.Append(static_cast<const char*>(data), count);
    d_->allSent = false;
    d_->dataSentOwed = true;
}

int TWSocket::Send(const void* data, int count)
{
    if (d_->state != wsConnected && d_->state != wsSocksConnected) {
        SocketError(QStringLiteral("Send"), 10057);
        return -1;
    }
    if (count < 0 || (count > 0 && !data)) {
        SocketError(QStringLiteral("Send"), 10022);
        return -1;
    }
    d_->allSent = false;
    d_->dataSentOwed = true;
    PutDataInSendBuffer(data, count);
    QPointer<TWSocket> self(this);
    TryToSend();
    if (!self)
        return count;
    // OnDataSent follows from the event loop, never inside Send.
    if (d_->allSent && d_->fd >= 0)
        PostMsg(d_->msgAsyncSelect, d_->generation, MakeSelectParam(kFdWrite, 0));
    return count;
}

int TWSocket::SendStr(const QByteArray& bytes) { return Send(bytes.constData(), static_cast<int>(bytes.size())); }

int TWSocket::SendStr(const QString& text) { return SendStr(text.toLatin1()); }

// A send that failed for good: a lost connection closes the socket and reports it closed, any
// other failure is reported as an error. Shared by the plain and the TLS write paths.
void TWSocket::SendFailed(int code)
{
    if (IsConnectionLost(code)) {
        QPointer<TWSocket> self(this);
        d_->closeReported = true;
        Close();
        if (!self)
            return;
        TriggerSessionClosed(code);
        return;
    }
    SocketError(QStringLiteral("TryToSend failed"), code);
}

void TWSocket::TryToSend()
{
    if (d_->fd < 0) {
        d_->allSent = true;
        return;
    }
    int code = 0;
    switch (d_->layer->Flush(d_->fd, d_->counts, d_->sendBuffer, !d_->upgrading, code)) {
    case StreamLayer::Flushed::Drained:
        d_->allSent = d_->sendBuffer.Empty();
        if (d_->writeNotifier)
            d_->writeNotifier->setEnabled(false);
        return;
    case StreamLayer::Flushed::WouldBlock:
        d_->allSent = false;
        if (d_->writeNotifier)
            d_->writeNotifier->setEnabled(true);
        return;
    case StreamLayer::Flushed::Failed:
        return SendFailed(code);
    }
}

// ---- TLS --------------------------------------------------------------------------------------

void TWSocket::StartTls(const TlsOptions& options)
{
    if (d_->fd < 0 || d_->state != wsConnected || d_->upgraded) {
        UpgradeFinish(10057, QStringLiteral("TLS cannot start: the connection is not open"));
        return;
    }
    QString error;
    std::unique_ptr<TlsStream> tls = TlsStream::Start(d_->fd, d_->counts, options, error);
    d_->upgrading = true;
    if (!tls) {
        UpgradeFinish(10022, error);
        return;
    }
    d_->layer = std::move(tls);
    d_->upgraded = true;
    UpgradeStep(false);
}

bool TWSocket::TlsEstablished() const { return !d_->upgrading && d_->layer->Secure(); }

void TWSocket::UpgradeFinish(int code, const QString& reason)
{
    if (d_->upgradeDonePosted)
        return;
    d_->upgradeDonePosted = true;
    d_->upgradeDoneCode = code;
    d_->upgradeDoneReason = reason;
    if (d_->readNotifier)
        d_->readNotifier->setEnabled(false);
    PostMsg(d_->msgUpgradeDone, d_->generation, 0);
}

void TWSocket::UpgradeRead() { UpgradeStep(true); }

void TWSocket::UpgradeStep(bool readFirst)
{
    // Once the outcome is posted, what arrives waits in the system for the reader after it.
    if (!d_->upgraded || d_->upgradeDonePosted)
        return;
    const StreamLayer::Setup step = d_->layer->Advance(d_->fd, d_->counts, readFirst);
    QPointer<TWSocket> self(this);
    TryToSend(); // the handshake's own bytes, or the alert that ends it
    if (!self || d_->fd < 0)
        return;
    switch (step) {
    case StreamLayer::Setup::Done:
        UpgradeFinish(0, QString());
        break;
    case StreamLayer::Setup::More:
        if (!d_->layer->PeerEnded() && d_->readNotifier)
            d_->readNotifier->setEnabled(true);
        break;
    case StreamLayer::Setup::Failed:
        UpgradeFinish(10053, d_->layer->FailureReason());
        break;
    }
}

// ---- closing ----------------------------------------------------------------------------------

void TWSocket::ReleaseDescriptor()
{
    d_->attemptTimer->stop();
    delete d_->readNotifier;
    d_->readNotifier = nullptr;
    delete d_->writeNotifier;
    d_->writeNotifier = nullptr;
    d_->readWaitsForReceive = false;
    d_->receiveLostError = 0;
    d_->layer = std::make_unique<PlainStream>();
    d_->upgraded = false;
    d_->upgrading = false;
    d_->upgradeDonePosted = false;
    if (d_->fd >= 0) {
        ::close(d_->fd);
        d_->fd = -1;
        ++d_->generation;
    }
}

void TWSocket::InternalClose(bool shutdownFirst)
{
    QPointer<TWSocket> self(this);
    if (d_->fd < 0) {
        if (d_->state != wsClosed) {
            ChangeState(wsClosed);
            if (!self)
                return;
            AssignDefaultValue();
        }
        return;
    }
    if (shutdownFirst)
        ::shutdown(d_->fd, SHUT_WR);
    // close() always releases the descriptor on this system, so there is nothing to retry.
    ReleaseDescriptor();
    ChangeState(wsClosed);
    if (!self)
        return;
    if (!d_->destroying && !d_->closeReported) {
        d_->closeReported = true;
        TriggerSessionClosed(0);
        if (!self)
            return;
    }
    AssignDefaultValue();
}

void TWSocket::Close() { InternalClose(true); }

void TWSocket::Abort()
{
    CancelDnsLookup();
    d_->sendBuffer.Clear();
    d_->allSent = true;
    d_->dataSentOwed = false;
    if (d_->fd >= 0 && d_->state == wsConnected && d_->protoNumber == 6) {
        linger l{};
        l.l_onoff = 0;
        ::setsockopt(d_->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    InternalClose(false);
}

void TWSocket::Shutdown(int how)
{
    if (d_->fd < 0)
        return;
    int mode = 0;
    switch (how) {
    case 0: mode = SHUT_RD; break;
    case 1: mode = SHUT_WR; break;
    case 2: mode = SHUT_RDWR; break;
    default: return SocketError(QStringLiteral("Shutdown"), 10022);
    }
    if (::shutdown(d_->fd, mode) < 0 && errno != ENOTCONN)
        SocketError(QStringLiteral("Shutdown"), WSocketErrorFromErrno(errno));
}

} // namespace kestravo::mail