// SPDX-License-Identifier: Apache-2.0
// Name lookup (getaddrinfo, RFC 6724 order) and the services and protocol databases for the
// socket, and the walk over a host's addresses that Connect makes.
#include "resolver.h"

#include "mail/errors.h"
#include "socket_errors.h"

#include <QUrl>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace kestravo::mail {

namespace {

HostResolver::NameResolver& InjectedResolver()
{
    static HostResolver::NameResolver resolver;
    return resolver;
}


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

int ResolveProtoNumber(const QString& text)
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

int ResolvePortNumber(const QString& text, const QString& protoText)
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
std::vector<SockAddr> ResolveHostAddresses(const QString& text, quint16 port)
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
SockAddr AnyAddressOf(int family, quint16 port)
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

bool IsAnyAddressText(const QString& text)
{
    const QString t = text.trimmed();
    return t == QLatin1String("0.0.0.0") || t == QLatin1String("::") || t == QLatin1String("[::]");
}

// Errors that say this machine cannot reach addresses of that family at all (no IPv6 here, no
// route for it), not what the relay did.
bool SaysNothingOfTheRelay(int code)
{
    return code == 10043 || code == 10046 || code == 10047 || code == 10049 || code == 10051;
}

} // namespace

QString SockAddr::Text() const { return AddressText(Get(), length); }

// The answer of the lookup awaited. A worker thread resolving the name shares it with the
// resolver and announces its answer only while someone still waits; the resolver detaches
// before it goes away and whenever it stops waiting, so a late answer never reaches a freed or
// aborted socket. An answer known at once is left in it without a worker.
struct HostResolver::Ticket {
    std::mutex lock;
    std::function<void(quintptr)> notify;
    quintptr token = 0;
    QStringList answer;
    int error = 0;
};

void HostResolver::SetNameResolver(NameResolver resolver) { InjectedResolver() = std::move(resolver); }

HostResolver::HostResolver() = default;

HostResolver::~HostResolver() { Cancel(); }

bool HostResolver::NumericAnswer(const QString& host, QString& address)
{
    quint32 v4 = 0;
    if (ParseDotted(host, v4) && v4 != 0xFFFFFFFFu) {
        address = DottedText(v4);
        return true;
    }
    // An IPv6 address stands for itself just the same, with or without its brackets.
    SockAddr v6;
    if (ParseIpv6(host, 0, v6)) {
        address = v6.Text();
        return true;
    }
    return false;
}

void HostResolver::Start(const QString& host, std::function<void(quintptr)> notify)
{
    Cancel();
    const quintptr token = ++counter_;
    pending_ = token;
    auto ticket = std::make_shared<Ticket>();
    ticket->token = token;
    ticket_ = ticket;
    if (const auto& injected = InjectedResolver()) {
        int error = 0;
        ticket->answer = injected(host, error);
        ticket->error = (error == 0 && ticket->answer.isEmpty()) ? 11004 : error;
        notify(token);
        return;
    }
    // The resolver may block for seconds: it runs on a thread of its own.
    ticket->notify = notify;
    try {
        std::thread([ticket, host] {
            int error = 0;
            QStringList answer = SystemLookup(host, error);
            const std::lock_guard<std::mutex> guard(ticket->lock);
            if (!ticket->notify)
                return;
            ticket->answer = std::move(answer);
            ticket->error = error;
            ticket->notify(ticket->token);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the lookup fails as a resolver out of resources does.
        ticket->notify = nullptr;
        ticket->error = 11002;
        notify(token);
    }
}

void HostResolver::Cancel()
{
    // An answer already announced is ignored, since its token no longer matches.
    if (ticket_) {
        const std::lock_guard<std::mutex> guard(ticket_->lock);
        ticket_->notify = nullptr;
    }
    ticket_.reset();
    pending_ = 0;
}

bool HostResolver::Take(quintptr token, QStringList& addresses, int& error)
{
    if (token == 0 || token != pending_)
        return false;
    pending_ = 0;
    const std::shared_ptr<Ticket> ticket = std::exchange(ticket_, nullptr);
    if (!ticket)
        return false;
    const std::lock_guard<std::mutex> guard(ticket->lock);
    ticket->notify = nullptr;
    error = ticket->error;
    if (error == 0)
        addresses = std::move(ticket->answer);
    return true;
}

int HostResolver::ResolveProto(const QString& text) { return ResolveProtoNumber(text); }
int HostResolver::ResolvePort(const QString& text, const QString& protoText) { return ResolvePortNumber(text, protoText); }
std::vector<SockAddr> HostResolver::ResolveHost(const QString& text, quint16 port) { return ResolveHostAddresses(text, port); }
SockAddr HostResolver::AnyAddress(int family, quint16 port) { return AnyAddressOf(family, port); }
bool HostResolver::IsAnyAddress(const QString& text) { return IsAnyAddressText(text); }

void AddressAttempts::Reset(std::vector<SockAddr> addresses)
{
    addresses_ = std::move(addresses);
    index_ = 0;
    reported_ = 0;
}

int AddressAttempts::Failed(int code)
{
    if (reported_ == 0 || !SaysNothingOfTheRelay(code))
        reported_ = code;
    return reported_;
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
