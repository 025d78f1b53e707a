// SPDX-License-Identifier: Apache-2.0
// TCP (RFC 9293) over POSIX non-blocking IPv6 and IPv4 sockets. Readiness comes from
// QSocketNotifier; a notifier only posts a message to its socket and the message handler does the
// work, so event handlers never run inside Qt's notifier code and may even free the socket. Name
// lookups run getaddrinfo on a thread of their own and post the answer back the same way. A host
// with several addresses is tried at each in turn until one answers. Errors carry the Windows
// Sockets numbers that the SMTP client reports to the operator.
#include "wsocket.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kestravo::mail {

namespace {

std::atomic<int> gLiveCount{0};

TWSocket::NameResolver& InjectedResolver()
{
    static TWSocket::NameResolver resolver;
    return resolver;
}

// Happenings carried in the low half of a network notification's second parameter; the error
// code sits in the high half.
enum Happening : int { kFdRead = 0x01, kFdWrite = 0x02, kFdConnect = 0x10, kFdClose = 0x20 };

qintptr MakeSelectParam(int happening, int error)
{
    return static_cast<qintptr>((static_cast<quint32>(error & 0xFFFF) << 16) | (happening & 0xFFFF));
}

// Outgoing bytes wait in chunks of one Ethernet TCP payload; one chunk goes per send call.
constexpr int kChunkSize = 1460;

// Rounds of the receive loop run for one readable notification before the event loop gets a turn.
constexpr int kReceiveRoundsPerTurn = 16;

struct Chunk {
    QByteArray data;
    int sent = 0;
};

// A failure while resolving what Connect needs; carries the error number reported.
class ResolveError : public std::runtime_error {
public:
    ResolveError(const QString& text, int code) : std::runtime_error(text.toStdString()), code_(code) {}
    int code_;
};

// Parses a dotted IPv4 address by the rules of WSocketIsDottedIP; the result is in host order.
bool ParseDotted(const QString& text, quint32& address)
{
    int i = 0;
    const int n = text.size();
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    quint32 result = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= n || text[i] != QLatin1Char('.'))
                return false;
            ++i;
        }
        int digits = 0;
        quint32 value = 0;
        while (i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
            value = value * 10 + static_cast<quint32>(text[i].unicode() - '0');
            if (value > 255)
                return false;
            ++digits;
            ++i;
        }
        if (digits == 0)
            return false;
        result = (result << 8) | value;
    }
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    if (i != n)
        return false;
    address = result;
    return true;
}

QString DottedText(quint32 address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg((address >> 24) & 0xFF).arg((address >> 16) & 0xFF).arg((address >> 8) & 0xFF).arg(address & 0xFF);
}

int ResolverErrorFromGai(int gai)
{
    switch (gai) {
    case EAI_NONAME:
        return 11001;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return 11004;
#endif
    case EAI_AGAIN:
        return 11002;
    case EAI_SYSTEM:
        return WSocketErrorFromErrno(errno);
    default:
        return 11003;
    }
}

// A remote or local socket address of either family.
struct SockAddr {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int Family() const { return storage.ss_family; }
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// The numeric text of an address: dotted IPv4, or IPv6 in its shortest form (with a zone, if any).
QString AddressText(const sockaddr* address, socklen_t length)
{
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return QString();
    return QString::fromLatin1(host);
}

// An IPv6 address in numeric form, bare or in brackets as in a URL ("[::1]").
bool ParseIpv6(const QString& text, quint16 port, SockAddr& out)
{
    QString t = text.trimmed();
    if (t.startsWith(u'[') && t.endsWith(u']'))
        t = t.mid(1, t.size() - 2);
    if (!t.contains(u':'))
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (::getaddrinfo(t.toLatin1().constData(), nullptr, &hints, &res) != 0 || !res)
        return false;
    out = SockAddr{};
    std::memcpy(&out.storage, res->ai_addr, res->ai_addrlen);
    out.length = res->ai_addrlen;
    reinterpret_cast<sockaddr_in6*>(&out.storage)->sin6_port = htons(port);
    ::freeaddrinfo(res);
    return true;
}

// A numeric address of either family: dotted IPv4 by the rules of WSocketIsDottedIP, or IPv6.
bool ParseNumericAddress(const QString& text, quint16 port, SockAddr& out)
{
    quint32 v4 = 0;
    if (ParseDotted(text, v4)) {
        out = SockAddr{};
        auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        sin->sin_addr.s_addr = htonl(v4);
        out.length = sizeof(sockaddr_in);
        return true;
    }
    return ParseIpv6(text, port, out);
}

// Every address of a resolver's answer, IPv6 and IPv4, in its order (the system's preference,
// RFC 6724), each once; frees the answer. An answer without one has no usable address (11004).
QStringList AddressesOf(addrinfo* res, int& errorCode)
{
    QStringList list;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET && p->ai_family != AF_INET6)
            continue;
        const QString text = AddressText(p->ai_addr, p->ai_addrlen);
        if (!text.isEmpty() && !list.contains(text))
            list << text;
    }
    ::freeaddrinfo(res);
    if (list.isEmpty())
        errorCode = 11004;
    return list;
}

// "localhost" (and a name under it) is the loopback of both families (RFC 6761 6.3), whatever
// the hosts file lists: a relay that listens on ::1 alone is reached under that name too. The
// resolver's answer keeps its order; what it left out comes after it.
void AddLoopbackOfLocalhost(const QString& host, QStringList& list, int& errorCode)
{
    const QString name = host.trimmed().toLower();
    if (name != QLatin1String("localhost") && name != QLatin1String("localhost.") &&
        !name.endsWith(QLatin1String(".localhost")) && !name.endsWith(QLatin1String(".localhost.")))
        return;
    for (const QString& loopback : {QStringLiteral("127.0.0.1"), QStringLiteral("::1")})
        if (!list.contains(loopback))
            list << loopback;
    errorCode = 0;
}

// Blocking lookup of a host name (Connect only; the SMTP client passes numeric addresses).
QStringList BlockingLookup(const QString& host, int& errorCode)
{
    errorCode = 0;
    if (const auto& injected = InjectedResolver()) {
        QStringList list = injected(host, errorCode);
        if (errorCode == 0 && list.isEmpty())
            errorCode = 11004;
        return list;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const QByteArray name = host.toUtf8();
    const int rc = ::getaddrinfo(name.constData(), nullptr, &hints, &res);
    QStringList list;
    if (rc != 0)
        errorCode = ResolverErrorFromGai(rc);
    else
        list = AddressesOf(res, errorCode);
    AddLoopbackOfLocalhost(host, list, errorCode);
    return list;
}

// What DnsLookup reports for a name: every IPv6 and IPv4 address the resolver gives, in its
// order, each once. A name the resolver does not know, 11001; any other failure of the resolver,
// 11002. Addresses are not filtered by the interfaces configured (no AI_ADDRCONFIG): that would
// drop ::1 on a machine whose only IPv6 address is the loopback one, and an address that cannot
// be reached costs only a quick failed attempt before the next.
QStringList SystemLookup(const QString& host, int& errorCode)
{
    errorCode = 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    // An address in any numeric form stands for itself; only names go to the resolver, in their
    // ASCII form.
    hints.ai_flags = AI_NUMERICHOST;
    int rc = ::getaddrinfo(host.toLatin1().constData(), nullptr, &hints, &res);
    if (rc != 0) {
        const QByteArray ace = QUrl::toAce(host);
        if (ace.isEmpty()) {
            errorCode = 11001;
            return {};
        }
        hints.ai_flags = 0;
        rc = ::getaddrinfo(ace.constData(), nullptr, &hints, &res);
    }
    QStringList list;
    if (rc != 0) {
        switch (rc) {
        case EAI_NONAME:
        case EAI_FAIL:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
            errorCode = 11001;
            break;
        default:
            errorCode = 11002;
            break;
        }
    } else {
        list = AddressesOf(res, errorCode);
    }
    AddLoopbackOfLocalhost(host, list, errorCode);
    return list;
}

// Errors that say this machine cannot reach addresses of that family at all (no IPv6 here, no
// route for it), not what the relay did: they never hide another address's answer, so a relay
// refusing on IPv4 still reads 10061 when its IPv6 address could not even be tried.
bool SaysNothingOfTheRelay(int code)
{
    return code == 10043 || code == 10046 || code == 10047 || code == 10049 || code == 10051;
}

bool IsConnectionLost(int code)
{
    return code == 10054 || code == 10038 || code == 10057 || code == 10022 || code == 10053;
}

} // namespace

// The answer of the lookup a socket awaits. A worker thread resolving the name shares it with the
// socket and posts its answer only while the socket is still attached; the socket detaches
// before it goes away and whenever it stops waiting, so a late answer never reaches a freed or
// aborted socket. An answer known at once is left in it without a worker.
struct TWSocket::LookupTicket {
    std::mutex lock;
    TWSocket* socket = nullptr;
    quintptr token = 0;
    QStringList answer;
    int error = 0;
};

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

    QStringList resolved;
    // Addresses Connect tries after Addr's own (SetAddrList), and what the attempts are made to.
    QStringList moreAddrs;
    std::vector<SockAddr> candidates;
    std::size_t attempt = 0;
    SockAddr local;
    bool bindLocal = false;
    int localPortNumber = 0;
    int sockType = SOCK_STREAM;
    int connectAttemptTimeoutMs = 0;
    int attemptError = 0; // what the failed attempts so far have to report
    QTimer* attemptTimer = nullptr;
    quintptr pendingLookup = 0; // token of the lookup whose answer is awaited, 0 = none
    quintptr lookupCounter = 0;
    std::shared_ptr<LookupTicket> lookupTicket; // of the lookup pending

    std::deque<Chunk> sendBuffer;
    qint64 bufferedBytes = 0;
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

    std::uint64_t readCount = 0;
    std::uint64_t writeCount = 0;

    int msgAsyncSelect = 0, msgHostByName = 0, msgHostByAddr = 0, msgCloseDelayed = 0, msgTest = 0, msgSpare = 0, msgTlsDone = 0;

    // TLS, once StartTls has run on this connection.
    std::unique_ptr<TlsLayer> tls;
    bool tlsHandshaking = false; // until OnTlsDone has been delivered
    bool tlsDonePosted = false;
    bool tlsPeerEof = false;
    QByteArray tlsOut; // encrypted bytes the network has not taken yet
    int tlsDoneCode = 0;
    QString tlsDoneReason;
};

TWSocket::TWSocket(QObject* parent) : TVyrWndControl(parent), d_(new Impl)
{
    d_->msgAsyncSelect = AllocateMsg();
    d_->msgHostByName = AllocateMsg();
    d_->msgHostByAddr = AllocateMsg();
    d_->msgCloseDelayed = AllocateMsg();
    d_->msgTest = AllocateMsg();
    d_->msgSpare = AllocateMsg();
    d_->msgTlsDone = AllocateMsg();
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

void TWSocket::SetNameResolver(NameResolver resolver) { InjectedResolver() = std::move(resolver); }

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
std::uint64_t TWSocket::ReadCount() const { return d_->readCount; }
std::uint64_t TWSocket::WriteCount() const { return d_->writeCount; }

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
    if (d_->fd < 0 || d_->attempt >= d_->candidates.size())
        return QString();
    const SockAddr& a = d_->candidates[d_->attempt];
    return AddressText(a.Get(), a.length);
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

    quint32 address = 0;
    if (ParseDotted(name, address) && address != 0xFFFFFFFFu) {
        d_->resolved << DottedText(address);
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, 0);
        return;
    }
    // An IPv6 address stands for itself just the same, with or without its brackets.
    SockAddr v6;
    if (ParseIpv6(name, 0, v6)) {
        d_->resolved << AddressText(v6.Get(), v6.length);
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, 0);
        return;
    }

    const quintptr token = ++d_->lookupCounter;
    d_->pendingLookup = token;
    auto ticket = std::make_shared<LookupTicket>();
    ticket->token = token;
    d_->lookupTicket = ticket;
    if (const auto& injected = InjectedResolver()) {
        int error = 0;
        ticket->answer = injected(name, error);
        ticket->error = (error == 0 && ticket->answer.isEmpty()) ? 11004 : error;
        PostMsg(d_->msgHostByName, token, 0);
        return;
    }
    // The resolver may block for seconds: it runs on a thread of its own, and its answer comes
    // back through the event loop like every other happening.
    ticket->socket = this;
    try {
        std::thread([ticket, name] {
            int error = 0;
            QStringList answer = SystemLookup(name, error);
            const std::lock_guard<std::mutex> guard(ticket->lock);
            if (ticket->socket == nullptr)
                return;
            ticket->answer = std::move(answer);
            ticket->error = error;
            ticket->socket->PostMsg(ticket->socket->d_->msgHostByName, ticket->token, 0);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the lookup fails as a resolver out of resources does.
        ticket->socket = nullptr;
        ticket->error = 11002;
        PostMsg(d_->msgHostByName, token, 0);
    }
}

void TWSocket::CancelDnsLookup()
{
    // A resolver call cannot be interrupted: the worker finishes it and finds nobody waiting. An
    // answer already posted is ignored, since its token no longer matches.
    if (d_->lookupTicket) {
        const std::lock_guard<std::mutex> guard(d_->lookupTicket->lock);
        d_->lookupTicket->socket = nullptr;
    }
    d_->lookupTicket.reset();
    d_->pendingLookup = 0;
}

void TWSocket::HandleLookupDone(quintptr token)
{
    if (token == 0 || token != d_->pendingLookup)
        return;
    d_->pendingLookup = 0;
    const std::shared_ptr<LookupTicket> ticket = std::exchange(d_->lookupTicket, nullptr);
    if (!ticket)
        return;
    int error = 0;
    {
        const std::lock_guard<std::mutex> guard(ticket->lock);
        ticket->socket = nullptr;
        error = ticket->error;
        if (error == 0)
            d_->resolved = std::move(ticket->answer);
    }
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, static_cast<std::uint16_t>(error));
}

// ---- connecting -------------------------------------------------------------------------------

namespace {

int ResolveProto(const QString& text)
{
    const QString name = text.trimmed();
    if (name.isEmpty())
        throw ResolveError(QStringLiteral("Winsock Resolve Proto: Invalid Protocol."), 10022);
    if (name[0].isDigit()) {
        bool ok = false;
        const int number = name.toInt(&ok);
        if (!ok || number < 0 || number > 255)
            throw ResolveError(QStringLiteral("Winsock Resolve Proto: Cannot convert protocol '%1' - %2")
                                   .arg(name, GetWinsockErr(10022)), 10022);
        return number;
    }
    const QString lower = name.toLower();
    if (lower == QLatin1String("tcp"))
        return 6;
    if (lower == QLatin1String("udp"))
        return 17;
    if (lower == QLatin1String("raw"))
        return 255;
    const QByteArray bytes = name.toLatin1();
    if (const protoent* p = ::getprotobyname(bytes.constData()))
        return p->p_proto;
    throw ResolveError(QStringLiteral("Winsock Resolve Proto: Cannot convert protocol '%1' - %2")
                           .arg(name, GetWinsockErr(10022)), 10022);
}

int ResolvePort(const QString& text, const QString& protoText)
{
    const QString name = text.trimmed();
    if (name.isEmpty())
        throw ResolveError(QStringLiteral("Winsock Resolve Port: Invalid Port."), 10022);
    if (name[0].isDigit()) {
        // Leading digits, as a C conversion reads them; beyond 65535 is not a port.
        qint64 value = 0;
        for (QChar c : name) {
            if (!c.isDigit())
                break;
            value = value * 10 + (c.unicode() - '0');
            if (value > 65535)
                throw ResolveError(QStringLiteral("Winsock Resolve Port: Cannot convert port '%1' - %2")
                                       .arg(name, GetWinsockErr(10022)), 10022);
        }
        return static_cast<int>(value);
    }
    QString protoName = protoText.trimmed();
    if (protoName.isEmpty())
        throw ResolveError(QStringLiteral("Winsock Resolve Port: Invalid Proto."), 10022);
    if (protoName == QLatin1String("6"))
        protoName = QStringLiteral("tcp");
    else if (protoName == QLatin1String("17"))
        protoName = QStringLiteral("udp");
    const QByteArray service = name.toLatin1();
    const QByteArray protocol = protoName.toLower().toLatin1();
    if (const servent* s = ::getservbyname(service.constData(), protocol.constData()))
        return ntohs(static_cast<uint16_t>(s->s_port));
    // A system without a services database still knows the mail port.
    if (name.compare(QLatin1String("smtp"), Qt::CaseInsensitive) == 0)
        return 25;
    throw ResolveError(QStringLiteral("Winsock Resolve Port: Cannot convert port '%1' - %2")
                           .arg(name, GetWinsockErr(10022)), 10022);
}

// The addresses a host text stands for, each with the port: a numeric address itself, a name
// every address the resolver gives, in its order.
std::vector<SockAddr> ResolveHost(const QString& text, quint16 port)
{
    const QString name = text.trimmed();
    if (name.isEmpty())
        throw ResolveError(QStringLiteral("Winsock Resolve Host: '%1' Invalid Hostname.").arg(name), 10022);
    SockAddr address;
    if (ParseNumericAddress(name, port, address))
        return {address};
    bool numeric = true;
    for (QChar c : name)
        if (!c.isDigit() && c != QLatin1Char('.'))
            numeric = false;
    if (numeric)
        throw ResolveError(QStringLiteral("Winsock Resolve Host: '%1' Invalid IP address.").arg(name), 10022);
    int error = 0;
    const QStringList list = BlockingLookup(name, error);
    std::vector<SockAddr> addresses;
    for (const QString& entry : list)
        if (ParseNumericAddress(entry, port, address))
            addresses.push_back(address);
    if (error != 0 || addresses.empty()) {
        if (error == 0)
            error = 11004;
        throw ResolveError(QStringLiteral("Winsock Resolve Host: Cannot convert host address '%1' - %2")
                               .arg(name, GetWinsockErr(error)), error);
    }
    return addresses;
}

// The any-address of a family, with a port.
SockAddr AnyAddress(int family, quint16 port)
{
    SockAddr a;
    if (family == AF_INET6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        sin6->sin6_addr = in6addr_any;
        a.length = sizeof(sockaddr_in6);
    } else {
        auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        sin->sin_addr.s_addr = htonl(INADDR_ANY);
        a.length = sizeof(sockaddr_in);
    }
    return a;
}

bool IsAnyAddress(const QString& text)
{
    const QString t = text.trimmed();
    return t == QLatin1String("0.0.0.0") || t == QLatin1String("::") || t == QLatin1String("[::]");
}

} // namespace

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
        proto = ResolveProto(d_->proto);
        remotePort = ResolvePort(d_->port, d_->proto);
        localPort = ResolvePort(d_->localPort, d_->proto);
        candidates = ResolveHost(d_->addr, quint16(remotePort));
        for (const QString& more : d_->moreAddrs) {
            const std::vector<SockAddr> extra = ResolveHost(more, quint16(remotePort));
            candidates.insert(candidates.end(), extra.begin(), extra.end());
        }
        if (IsAnyAddress(d_->localAddr)) {
            bindLocal = localPort != 0;
        } else {
            local = ResolveHost(d_->localAddr, quint16(localPort)).front();
            bindLocal = true;
        }
    } catch (const ResolveError& e) {
        d_->lastError = e.code_;
        RaiseException(QStringLiteral("connect: ") + QString::fromStdString(e.what()));
        return;
    }
    d_->protoNumber = proto;
    d_->sockType = proto == 6 ? SOCK_STREAM : proto == 17 ? SOCK_DGRAM : SOCK_RAW;
    d_->candidates = std::move(candidates);
    d_->attempt = 0;
    d_->attemptError = 0;
    d_->local = local;
    d_->bindLocal = bindLocal;
    if (bindLocal && IsAnyAddress(d_->localAddr))
        d_->local = SockAddr{}; // the any-address of each attempt's family, with the local port
    d_->localPortNumber = localPort;

    d_->sendBuffer.clear();
    d_->bufferedBytes = 0;
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
        if (d_->attempt + 1 < d_->candidates.size()) {
            ++d_->attempt;
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
    if (d_->attemptError == 0 || !SaysNothingOfTheRelay(code))
        d_->attemptError = code;
    return d_->attemptError;
}

int TWSocket::OpenAttempt(QString& operation)
{
    const SockAddr& remote = d_->candidates[d_->attempt];
    const bool last = d_->attempt + 1 >= d_->candidates.size();
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
            SockAddr local = d_->local.length != 0 ? d_->local : AnyAddress(remote.Family(), quint16(d_->localPortNumber));
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
    ++d_->attempt;
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
    if (msg == d_->msgTlsDone) {
        if (wParam != d_->generation || d_->fd < 0 || !d_->tlsDonePosted)
            return;
        d_->tlsDonePosted = false;
        d_->tlsHandshaking = false;
        const int code = d_->tlsDoneCode;
        const QString reason = d_->tlsDoneReason;
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
        if (lParam == 0 && d_->fd >= 0 && d_->attempt + 1 < d_->candidates.size()) {
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
        if (d_->attempt + 1 < d_->candidates.size())
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
    if (d_->tlsHandshaking)
        return TlsHandshakeRead();
    const std::uint64_t callsBefore = d_->receiveCalls;
    ASyncReceive(error, true);
    if (!self || d_->fd < 0)
        return;
    if (d_->tlsHandshaking) {
        // The handler started TLS: the handshake takes the readable events from here.
        if (d_->readNotifier)
            d_->readNotifier->setEnabled(true);
        return;
    }
    if (d_->tls && d_->tls->Pending() > 0) {
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
    if (d_->fd < 0 || d_->tlsHandshaking)
        return 0;
    int count = 0;
    if (::ioctl(d_->fd, FIONREAD, &count) < 0)
        count = 0;
    if (d_->tls)
        count += d_->tls->Pending();
    return count;
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
    if (d_->tls)
        return ReceiveTls(static_cast<char*>(buffer), size);
    const ssize_t n = ::recv(d_->fd, buffer, static_cast<size_t>(size < 0 ? 0 : size), MSG_DONTWAIT);
    if (n < 0) {
        d_->lastError = WSocketErrorFromErrno(errno);
        if (d_->lastError != 10035 && d_->lastError != 10004)
            d_->receiveLostError = d_->lastError;
        return -1;
    }
    d_->readCount += static_cast<std::uint64_t>(n);
    return static_cast<int>(n);
}

void TWSocket::PutDataInSendBuffer(const void* data, int count)
{
    if (count <= 0 || !data)
        return;
    const char* p = static_cast<const char*>(data);
    int left = count;
    while (left > 0) {
        if (d_->sendBuffer.empty() || d_->sendBuffer.back().data.size() >= kChunkSize) {
            d_->sendBuffer.emplace_back();
            d_->sendBuffer.back().data.reserve(kChunkSize);
        }
        QByteArray& last = d_->sendBuffer.back().data;
        const int take = std::min(left, kChunkSize - static_cast<int>(last.size()));
        last.append(p, take);
        p += take;
        left -= take;
    }
    d_->bufferedBytes += count;
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
    if (d_->tls)
        return TryToSendTls();
    if (d_->fd < 0 || d_->sendBuffer.empty()) {
        d_->allSent = true;
        return;
    }
    for (;;) {
        if (d_->sendBuffer.empty()) {
            d_->allSent = true;
            if (d_->writeNotifier)
                d_->writeNotifier->setEnabled(false);
            return;
        }
        Chunk& chunk = d_->sendBuffer.front();
        const int length = static_cast<int>(chunk.data.size()) - chunk.sent;
        const ssize_t n = ::send(d_->fd, chunk.data.constData() + chunk.sent, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n < 0) {
            const int code = WSocketErrorFromErrno(errno);
            if (code == 10035) {
                if (d_->writeNotifier)
                    d_->writeNotifier->setEnabled(true);
                return;
            }
            return SendFailed(code);
        }
        d_->bufferedBytes = std::max<qint64>(0, d_->bufferedBytes - n);
        d_->writeCount += static_cast<std::uint64_t>(n);
        chunk.sent += static_cast<int>(n);
        if (chunk.sent < chunk.data.size()) {
            // The rest of this chunk waits for the socket to become writable.
            if (d_->writeNotifier)
                d_->writeNotifier->setEnabled(true);
            return;
        }
        d_->sendBuffer.pop_front();
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

void TWSocket::StartTls(const TlsOptions& options)
{
    if (d_->fd < 0 || d_->state != wsConnected || d_->tls) {
        TlsFinish(10057, QStringLiteral("TLS cannot start: the connection is not open"));
        return;
    }
    // Everything the peer sent before the upgrade is dropped unread.
    char discard[4096];
    for (;;) {
        const ssize_t n = ::recv(d_->fd, discard, sizeof discard, MSG_DONTWAIT);
        if (n > 0) {
            d_->readCount += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0)
            d_->tlsPeerEof = true;
        break;
    }
    QString error;
    d_->tls = TlsLayer::Create(options, error);
    d_->tlsHandshaking = true;
    d_->tlsOut.clear();
    if (!d_->tls) {
        TlsFinish(10022, error);
        return;
    }
    if (d_->tlsPeerEof)
        d_->tls->PeerClosed();
    TlsHandshakeStep();
}

bool TWSocket::TlsEstablished() const { return d_->tls && !d_->tlsHandshaking && d_->tls->Established(); }

void TWSocket::TlsFinish(int code, const QString& reason)
{
    if (d_->tlsDonePosted)
        return;
    d_->tlsDonePosted = true;
    d_->tlsDoneCode = code;
    d_->tlsDoneReason = reason;
    if (d_->readNotifier)
        d_->readNotifier->setEnabled(false);
    PostMsg(d_->msgTlsDone, d_->generation, 0);
}

void TWSocket::TlsHandshakeRead()
{
    // Once the outcome is posted, what arrives waits in the system for the reader after it.
    if (!d_->tls || d_->tlsDonePosted)
        return;
    char raw[16384];
    while (!d_->tlsPeerEof) {
        const ssize_t n = ::recv(d_->fd, raw, sizeof raw, MSG_DONTWAIT);
        if (n > 0) {
            d_->readCount += static_cast<std::uint64_t>(n);
            d_->tls->Feed(raw, static_cast<int>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        d_->tlsPeerEof = true; // closed, or reset
        if (d_->tls)
            d_->tls->PeerClosed();
    }
    TlsHandshakeStep();
}

void TWSocket::TlsHandshakeStep()
{
    if (!d_->tls || d_->tlsDonePosted)
        return;
    const TlsLayer::Step step = d_->tls->Handshake();
    QPointer<TWSocket> self(this);
    TryToSendTls(); // the handshake's own bytes, or the alert that ends it
    if (!self || d_->fd < 0)
        return;
    switch (step) {
    case TlsLayer::Step::Done:
        TlsFinish(0, QString());
        break;
    case TlsLayer::Step::More:
        if (!d_->tlsPeerEof && d_->readNotifier)
            d_->readNotifier->setEnabled(true);
        break;
    case TlsLayer::Step::Failed:
        TlsFinish(10053, d_->tls->FailureReason());
        break;
    }
}

int TWSocket::ReceiveTls(char* buffer, int size)
{
    if (d_->tlsHandshaking) {
        d_->lastError = 10035;
        return -1;
    }
    char raw[16384];
    for (;;) {
        const int n = d_->tls->Read(buffer, size);
        if (n >= 0) {
            d_->readCount += static_cast<std::uint64_t>(n);
            return n;
        }
        if (n == -2) {
            // A record that fails its check: nothing after it can be trusted, so the connection
            // ends (from the event loop, not inside the reader's handler).
            d_->lastError = 10053;
            d_->receiveLostError = 10053;
            CloseDelayed();
            return -1;
        }
        if (d_->tlsPeerEof)
            return 0;
        const ssize_t r = ::recv(d_->fd, raw, sizeof raw, MSG_DONTWAIT);
        if (r > 0) {
            d_->tls->Feed(raw, static_cast<int>(r));
            continue;
        }
        if (r == 0) {
            d_->tlsPeerEof = true;
            d_->tls->PeerClosed();
            continue;
        }
        d_->lastError = WSocketErrorFromErrno(errno);
        if (d_->lastError != 10035 && d_->lastError != 10004)
            d_->receiveLostError = d_->lastError;
        return -1;
    }
}

void TWSocket::TryToSendTls()
{
    if (d_->fd < 0) {
        d_->allSent = true;
        return;
    }
    if (d_->tls->Established() && !d_->tlsHandshaking) {
        while (!d_->sendBuffer.empty()) {
            Chunk& chunk = d_->sendBuffer.front();
            d_->tls->Write(chunk.data.constData() + chunk.sent, static_cast<int>(chunk.data.size()) - chunk.sent);
            Wipe(chunk.data);
            d_->sendBuffer.pop_front();
        }
        d_->bufferedBytes = 0;
    }
    d_->tlsOut.append(d_->tls->TakeOutgoing());
    while (!d_->tlsOut.isEmpty()) {
        const ssize_t n = ::send(d_->fd, d_->tlsOut.constData(), static_cast<size_t>(d_->tlsOut.size()), MSG_NOSIGNAL);
        if (n < 0) {
            const int code = WSocketErrorFromErrno(errno);
            if (code == 10035 || code == 10004) {
                d_->allSent = false;
                if (d_->writeNotifier)
                    d_->writeNotifier->setEnabled(true);
                return;
            }
            return SendFailed(code);
        }
        d_->writeCount += static_cast<std::uint64_t>(n);
        d_->tlsOut.remove(0, n);
    }
    d_->allSent = d_->sendBuffer.empty();
    if (d_->writeNotifier)
        d_->writeNotifier->setEnabled(false);
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
    d_->tls.reset();
    d_->tlsHandshaking = false;
    d_->tlsDonePosted = false;
    d_->tlsPeerEof = false;
    d_->tlsOut.clear();
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
    d_->sendBuffer.clear();
    d_->bufferedBytes = 0;
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

// ---- module functions -------------------------------------------------------------------------

int WSocketErrorFromErrno(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10038;
    case EACCES: return 10013;
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case ENFILE: return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10035;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    // Sending after the peer has reset the connection; the connection is gone just the same.
    case EPIPE: return 10054;
    case ENOBUFS: return 10055;
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return 10022; // never report a failure as 0
    }
}

QString WSocketErrorDesc(int code)
{
    switch (code) {
    case 0: return QStringLiteral("No Error");
    case 10004: return QStringLiteral("Interrupted system call");
    case 10009: return QStringLiteral("Bad file number");
    case 10013: return QStringLiteral("Permission denied");
    case 10014: return QStringLiteral("Bad address");
    case 10022: return QStringLiteral("Invalid argument");
    case 10024: return QStringLiteral("Too many open files");
    case 10035: return QStringLiteral("Operation would block");
    case 10036: return QStringLiteral("Operation now in progress");
    case 10037: return QStringLiteral("Operation already in progress");
    case 10038: return QStringLiteral("Socket operation on non-socket");
    case 10039: return QStringLiteral("Destination address required");
    case 10040: return QStringLiteral("Message too long");
    case 10041: return QStringLiteral("Protocol wrong type for socket");
    case 10042: return QStringLiteral("Protocol not available");
    case 10043: return QStringLiteral("Protocol not supported");
    case 10044: return QStringLiteral("Socket type not supported");
    case 10045: return QStringLiteral("Operation not supported on socket");
    case 10046: return QStringLiteral("Protocol family not supported");
    case 10047: return QStringLiteral("Address family not supported by protocol family");
    case 10048: return QStringLiteral("Address already in use");
    case 10049: return QStringLiteral("Address not available");
    case 10050: return QStringLiteral("Network is down");
    case 10051: return QStringLiteral("Network is unreachable");
    case 10052: return QStringLiteral("Network dropped connection on reset");
    case 10053: return QStringLiteral("Connection aborted");
    case 10054: return QStringLiteral("Connection reset by peer");
    case 10055: return QStringLiteral("No buffer space available");
    case 10056: return QStringLiteral("Socket is already connected");
    case 10057: return QStringLiteral("Socket is not connected");
    case 10058: return QStringLiteral("Cannot send after socket shutdown");
    case 10059: return QStringLiteral("Too many references: cannot splice");
    case 10060: return QStringLiteral("Connection timed out");
    case 10061: return QStringLiteral("Connection refused");
    case 10062: return QStringLiteral("Too many levels of symbolic links");
    case 10063: return QStringLiteral("File name too long");
    case 10064: return QStringLiteral("Host is down");
    case 10065: return QStringLiteral("No route to host");
    case 10066: return QStringLiteral("Directory not empty");
    case 10067: return QStringLiteral("Too many processes");
    case 10068: return QStringLiteral("Too many users");
    case 10069: return QStringLiteral("Disc quota exceeded");
    case 10070: return QStringLiteral("Stale NFS file handle");
    case 10071: return QStringLiteral("Too many levels of remote in path");
    case 10091: return QStringLiteral("Network subsystem is unusable");
    case 10092: return QStringLiteral("WinSock DLL cannot support this application");
    case 10093: return QStringLiteral("WinSock not initialized");
    case 11001: return QStringLiteral("Host not found");
    case 11002: return QStringLiteral("Non-authoritative host not found");
    case 11003: return QStringLiteral("Non-recoverable error");
    case 11004: return QStringLiteral("No Data");
    default: return QStringLiteral("Not a WinSock error");
    }
}

QString WSocketErrorMsgFromErrorCode(int code)
{
    // No proxy layer is built here, so proxy codes get the same form as any other.
    return QStringLiteral("Winsock - ") + WSocketErrorDesc(code);
}

QString GetWinsockErr(int code)
{
    return QStringLiteral("%1 (#%2)").arg(WSocketErrorDesc(code)).arg(code);
}

bool WSocketIsDottedIP(const QString& text)
{
    quint32 unused = 0;
    return ParseDotted(text, unused);
}

QString LocalHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        throw ESocketException("Winsock Get Host Name failed");
    return QString::fromLocal8Bit(name);
}

} // namespace kestravo::mail
