// SPDX-License-Identifier: Apache-2.0
// TWSocket against real loopback peers: the order of its events, sending and receiving, closing,
// and the errors it reports.
#include "kit/loopback_peer.h"
#include "kit/wait.h"
#include "mail/transport/wsocket.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QStringList>
#include <QThread>
#include <QUrl>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestravo::mail {
namespace {

using testkit::LoopbackPeer;
using testkit::SpinFor;
using testkit::WaitUntil;

// Records every event of a socket as one line, so a test can compare the whole sequence.
struct EventLog {
    std::vector<std::string> lines;
    QByteArray received;
    bool insideCall = false; // set while the test is inside an operation of the socket
    bool eventInsideCall = false;

    void Attach(TWSocket& s)
    {
        s.OnChangeState = [this](TWSocket*, TSocketState o, TSocketState n) {
            Add("state " + std::to_string(o) + "->" + std::to_string(n));
        };
        s.OnSessionConnected = [this](TWSocket* w, std::uint16_t e) {
            Add("connected " + std::to_string(e) + " in " + std::to_string(w->State()));
        };
        s.OnDataAvailable = [this](TWSocket* w, std::uint16_t) {
            char buf[100];
            const int n = w->Receive(buf, sizeof buf);
            if (n > 0)
                received.append(buf, n);
        };
        s.OnDataSent = [this](TWSocket*, std::uint16_t e) {
            if (insideCall)
                eventInsideCall = true;
            Add("sent " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TWSocket*, std::uint16_t e) { Add("closed " + std::to_string(e) + " after " + received.toStdString()); };
    }
    void Add(const std::string& l) { lines.push_back(l); }
    bool Has(const std::string& l) const { return std::find(lines.begin(), lines.end(), l) != lines.end(); }
    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& l : lines)
            if (l.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }
};

void Target(TWSocket& s, int port)
{
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(QString::number(port));
    s.SetProto(QStringLiteral("tcp"));
}

// The socket under test, its events logged, connecting to a fresh peer that has not accepted yet.
struct Connecting {
    explicit Connecting(int peerReceiveBuffer = 0) : peer(peerReceiveBuffer)
    {
        log.Attach(s);
        Target(s, peer.Port());
        s.Connect();
    }
    LoopbackPeer peer;
    TWSocket s;
    EventLog log;
};

// A connected pair: the socket under test and the peer's accepted end.
struct Connected : Connecting {
    explicit Connected(int peerReceiveBuffer = 0) : Connecting(peerReceiveBuffer)
    {
        ok = peer.Accept() && WaitUntil([this] { return s.State() == wsConnected; });
    }
    bool ok = false;
};

TEST(WSocketSession, ConnectsExchangesDataAndReportsPeerCloseOnceAfterTheLastData)
{
    Connecting c;
    EXPECT_EQ(c.s.State(), wsConnecting);
    ASSERT_TRUE(c.peer.Accept());
    ASSERT_TRUE(WaitUntil([&] { return c.log.Has("connected 0 in 5"); }));

    c.peer.SendBytes("220 hello\r\n");
    ASSERT_TRUE(WaitUntil([&] { return c.log.received == "220 hello\r\n"; }));

    c.log.insideCall = true;
    EXPECT_EQ(c.s.SendStr(QByteArray("MAIL FROM:<a@b>\r\n")), 17);
    c.log.insideCall = false;
    EXPECT_EQ(c.log.Count("sent"), 0) << "OnDataSent must come later, from the event loop";
    ASSERT_TRUE(WaitUntil([&] { return c.log.Count("sent") == 1; }));
    EXPECT_FALSE(c.log.eventInsideCall);
    EXPECT_TRUE(c.s.AllSent());
    EXPECT_EQ(c.peer.ReadAtLeast(17), QByteArray("MAIL FROM:<a@b>\r\n"));
    EXPECT_EQ(c.s.WriteCount(), 17u);

    // Data sent just before the close reaches the handler before the close is reported.
    c.peer.SendBytes("221 bye\r\n");
    c.peer.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    SpinFor(100);
    const std::vector<std::string> expected = {
        "state 8->1", "state 1->3", "state 3->5", "connected 0 in 5", "sent 0",
        "closed 0 after 220 hello\r\n221 bye\r\n", "state 5->8",
    };
    EXPECT_EQ(c.log.lines, expected);
    EXPECT_EQ(c.s.ReadCount(), 20u);
    EXPECT_EQ(c.s.LastError(), 0);
}

TEST(WSocketSession, RefusedConnectionIsReportedAsConnectedWithErrorThenClosed)
{
    TWSocket s;
    EventLog log;
    log.Attach(s);
    Target(s, testkit::UnusedPort());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    SpinFor(50);
    const std::vector<std::string> expected = {
        "state 8->1", "state 1->3", "state 3->5", "connected 10061 in 5", "state 5->8", "closed 0 after ",
    };
    EXPECT_EQ(log.lines, expected);
}


// ---- name lookup ------------------------------------------------------------------------------

// Installs a resolver for the test's duration; the machine has no outside DNS.
struct ScopedResolver {
    explicit ScopedResolver(TWSocket::NameResolver r) { TWSocket::SetNameResolver(std::move(r)); }
    ~ScopedResolver() { TWSocket::SetNameResolver(nullptr); }
};

QStringList FakeDns(const QString& host, int& error)
{
    if (host == QLatin1String("relay.test"))
        return {QStringLiteral("127.0.0.1"), QStringLiteral("10.0.0.2")};
    if (host == QLatin1String("255.255.255.255"))
        return {QStringLiteral("255.255.255.255")};
    if (host == QLatin1String("dual.test"))
        return {QStringLiteral("::1"), QStringLiteral("127.0.0.1")};
    error = 11001;
    return {};
}

struct LookupLog {
    std::vector<std::pair<int, QStringList>> done;
    bool inside = false;
    bool firedInside = false;
    void Attach(TWSocket& s)
    {
        s.OnDnsLookupDone = [this](TWSocket* w, std::uint16_t e) {
            firedInside = firedInside || inside;
            done.emplace_back(e, w->ResolvedAddresses());
        };
    }
};

TEST(WSocketDnsLookup, NumericAddressCompletesInsideTheCall)
{
    const struct { const char* host; const char* address; } rows[] = {
        {"  010.1.2.3", "10.1.2.3"},
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"2001:DB8::0:1", "2001:db8::1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        TWSocket s;
        LookupLog log;
        log.Attach(s);
        log.inside = true;
        s.DnsLookup(QString::fromLatin1(row.host));
        log.inside = false;
        ASSERT_EQ(log.done.size(), 1u);
        EXPECT_TRUE(log.firedInside);
        EXPECT_EQ(log.done[0].first, 0);
        EXPECT_EQ(s.ResolvedAddress(), QString::fromLatin1(row.address));
        EXPECT_EQ(s.ResolvedAddresses(), QStringList{QString::fromLatin1(row.address)});
    }
}

TEST(WSocketDnsLookup, NamesResolveLaterThroughTheEventLoop)
{
    ScopedResolver r(FakeDns);
    const struct { const char* host; int error; QStringList addresses; } rows[] = {
        {"relay.test", 0, {QStringLiteral("127.0.0.1"), QStringLiteral("10.0.0.2")}},
        {"255.255.255.255", 0, {QStringLiteral("255.255.255.255")}},
        {"dual.test", 0, {QStringLiteral("::1"), QStringLiteral("127.0.0.1")}},
        {"unknown.test", 11001, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        TWSocket s;
        s.DnsLookup(QStringLiteral("10.9.9.9")); // an earlier result is cleared by the next lookup
        LookupLog log;
        log.Attach(s);
        log.inside = true;
        s.DnsLookup(QString::fromLatin1(row.host));
        log.inside = false;
        EXPECT_TRUE(log.done.empty());
        EXPECT_TRUE(s.ResolvedAddress().isEmpty());
        ASSERT_TRUE(WaitUntil([&] { return !log.done.empty(); }));
        SpinFor(20);
        ASSERT_EQ(log.done.size(), 1u);
        EXPECT_EQ(log.done[0].first, row.error);
        EXPECT_EQ(log.done[0].second, row.addresses);
        EXPECT_EQ(s.ResolvedAddress(), row.addresses.value(0));
    }
}

// A name longer than DNS allows (255 octets): the system's resolver says "not found" itself,
// without a query, so the answer is the same with or without a network. An ordinary unknown name
// reads "try again" (11002) where no name server can be reached, as in a build chroot.
QString NameNoResolverCanKnow()
{
    const QString label(63, u'n');
    return QStringList({label, label, label, label, QStringLiteral("invalid")}).join(u'.');
}

TEST(WSocketDnsLookup, UnknownNameFailsWithHostNotFoundThroughTheSystemResolver)
{
    TWSocket s;
    LookupLog log;
    log.Attach(s);
    // The name is a well-formed one that goes to the resolver, not one refused before it.
    ASSERT_FALSE(QUrl::toAce(NameNoResolverCanKnow()).isEmpty());
    s.DnsLookup(NameNoResolverCanKnow());
    ASSERT_TRUE(WaitUntil([&] { return !log.done.empty(); }));
    EXPECT_EQ(log.done[0].first, 11001);
    EXPECT_TRUE(s.ResolvedAddress().isEmpty());
}

// The system resolver runs off the caller's thread; its answer still arrives from the event loop,
// on the socket's thread. Only names the hosts file or the resolver itself answers: no query
// leaves the machine. "localhost" is the loopback of both families, whatever the hosts file says.
TEST(WSocketDnsLookup, SystemResolverAnswersThroughTheEventLoop)
{
    for (const char* host : {"localhost", "LocalHost"}) {
        SCOPED_TRACE(host);
        TWSocket s;
        LookupLog log;
        std::vector<bool> onOwnThread;
        s.OnDnsLookupDone = [&](TWSocket* w, std::uint16_t e) {
            onOwnThread.push_back(QThread::currentThread() == s.thread());
            log.done.emplace_back(e, w->ResolvedAddresses());
        };
        s.DnsLookup(QString::fromLatin1(host));
        EXPECT_TRUE(log.done.empty());
        ASSERT_TRUE(WaitUntil([&] { return !log.done.empty(); }));
        SpinFor(20);
        ASSERT_EQ(log.done.size(), 1u);
        EXPECT_TRUE(onOwnThread[0]);
        EXPECT_EQ(log.done[0].first, 0);
        const QStringList& addresses = log.done[0].second;
        EXPECT_TRUE(addresses.contains(QStringLiteral("127.0.0.1"))) << addresses.join(u' ').toStdString();
        EXPECT_TRUE(addresses.contains(QStringLiteral("::1"))) << addresses.join(u' ').toStdString();
        for (const QString& a : addresses)
            EXPECT_TRUE(a == QLatin1String("127.0.0.1") || a == QLatin1String("::1")) << a.toStdString();
        EXPECT_EQ(s.ResolvedAddress(), addresses.value(0));
    }
}

TEST(WSocketDnsLookup, SystemLookupCancelledAbortedOrSupersededIsNeverReported)
{
    const struct { const char* name; std::function<void(TWSocket&)> after; std::vector<int> expected; } rows[] = {
        {"CancelDnsLookup", [](TWSocket& s) { s.CancelDnsLookup(); }, {}},
        {"Abort", [](TWSocket& s) { s.Abort(); }, {}},
        {"a dotted address", [](TWSocket& s) { s.DnsLookup(QStringLiteral("10.1.2.3")); }, {0}},
        {"a newer name", [](TWSocket& s) { s.DnsLookup(NameNoResolverCanKnow()); }, {11001}},
        {"an IPv6 address", [](TWSocket& s) { s.DnsLookup(QStringLiteral("::1")); }, {0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TWSocket s;
        std::vector<int> done;
        s.OnDnsLookupDone = [&](TWSocket*, std::uint16_t e) { done.push_back(e); };
        s.DnsLookup(QStringLiteral("localhost"));
        row.after(s);
        SpinFor(300);
        EXPECT_EQ(done, row.expected);
    }
}

TEST(WSocketDnsLookup, EmptyNameIsRefused)
{
    TWSocket s;
    LookupLog log;
    log.Attach(s);
    try {
        s.DnsLookup(QStringLiteral("  "));
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
    }
    EXPECT_TRUE(log.done.empty());

    int errors = 0;
    s.OnError = [&](TWSocket*) { ++errors; };
    s.DnsLookup(QString());
    EXPECT_EQ(errors, 1);
    ASSERT_EQ(log.done.size(), 1u);
    EXPECT_EQ(log.done[0].first, 10022);
    EXPECT_EQ(s.LastError(), 10022);
}

TEST(WSocketDnsLookup, CancelledOrSupersededLookupIsNeverReported)
{
    ScopedResolver r(FakeDns);
    const struct { const char* name; std::function<void(TWSocket&)> after; int expectedEvents; } rows[] = {
        {"CancelDnsLookup", [](TWSocket& s) { s.CancelDnsLookup(); }, 0},
        {"Abort", [](TWSocket& s) { s.Abort(); }, 0},
        {"a newer lookup", [](TWSocket& s) { s.DnsLookup(QStringLiteral("unknown.test")); }, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TWSocket s;
        LookupLog log;
        log.Attach(s);
        s.DnsLookup(QStringLiteral("relay.test"));
        row.after(s);
        SpinFor(100);
        ASSERT_EQ(static_cast<int>(log.done.size()), row.expectedEvents);
        if (row.expectedEvents) {
            EXPECT_EQ(log.done[0].first, 11001);
        }
    }
}

TEST(WSocketDnsLookup, DestroyingTheSocketDropsAPendingSystemLookup)
{
    bool fired = false;
    {
        TWSocket s;
        s.OnDnsLookupDone = [&](TWSocket*, std::uint16_t) { fired = true; };
        s.DnsLookup(QStringLiteral("another-relay.invalid"));
    }
    SpinFor(300);
    EXPECT_FALSE(fired);
}

// ---- connect ----------------------------------------------------------------------------------

TEST(WSocketConnect, RefusalsNameTheProblemAndLeaveAnErrorCode)
{
    ScopedResolver r(FakeDns);
    const struct { const char* addr; const char* port; const char* proto; const char* text; int code; } rows[] = {
        {"127.0.0.1", "", "tcp", "Connect: No Port Specified", 10022},
        {"", "25", "tcp", "Connect: No IP Address Specified", 10022},
        {"127.0.0.1", "25", "", "Connect: No Protocol Specified", 10022},
        {"127.0.0.1", "no-such-service", "tcp",
         "connect: Winsock Resolve Port: Cannot convert port 'no-such-service' - Invalid argument (#10022)", 10022},
        {"127.0.0.1", "70000", "tcp",
         "connect: Winsock Resolve Port: Cannot convert port '70000' - Invalid argument (#10022)", 10022},
        {"127.0.0.1", "25", "no-such-proto",
         "connect: Winsock Resolve Proto: Cannot convert protocol 'no-such-proto' - Invalid argument (#10022)", 10022},
        {"1.2.3.256", "25", "tcp", "connect: Winsock Resolve Host: '1.2.3.256' Invalid IP address.", 10022},
        {"unknown.test", "25", "tcp",
         "connect: Winsock Resolve Host: Cannot convert host address 'unknown.test' - Host not found (#11001)", 11001},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        TWSocket s;
        EventLog log;
        log.Attach(s);
        s.SetAddr(QString::fromLatin1(row.addr));
        s.SetPort(QString::fromLatin1(row.port));
        s.SetProto(QString::fromLatin1(row.proto));
        try {
            s.Connect();
            ADD_FAILURE() << "no exception";
        } catch (const ESocketException& e) {
            EXPECT_EQ(std::string(e.what()), row.text);
        }
        EXPECT_EQ(s.LastError(), row.code);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_TRUE(log.lines.empty());

        // With OnError assigned nothing is raised, and the code is still there.
        int errors = 0;
        s.OnError = [&](TWSocket*) { ++errors; };
        EXPECT_NO_THROW(s.Connect());
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(s.LastError(), row.code);
    }
}

TEST(WSocketConnect, SecondConnectWhileInUseIsRefusedAndTheFirstGoesOn)
{
    Connecting c;
    try {
        c.s.Connect();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: Socket already in use");
    }
    EXPECT_NE(c.s.LastError(), 0);
    ASSERT_TRUE(c.peer.Accept());
    ASSERT_TRUE(WaitUntil([&] { return c.log.Has("connected 0 in 5"); }));
}

TEST(WSocketConnect, HostNameIsResolvedByConnect)
{
    ScopedResolver r(FakeDns);
    LoopbackPeer peer;
    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.SetAddr(QStringLiteral("relay.test"));
    s.SetPort(peer.PortText());
    s.Connect();
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(WaitUntil([&] { return log.Has("connected 0 in 5"); }));
}

// Every address of the host is tried in turn, IPv6 and IPv4 alike, the next after a refusal;
// the events are those of one connect attempt, whichever address answers.
TEST(WSocketConnect, EachAddressIsTriedInTurnIpv6AndIpv4)
{
    if (!testkit::CanListenOn("::1"))
        GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
    ScopedResolver r(FakeDns);
    // Peers on both families at one port number, and a port where neither listens.
    LoopbackPeer v4;
    const int port = v4.Port();
    std::unique_ptr<LoopbackPeer> v6;
    try {
        v6 = std::make_unique<LoopbackPeer>(0, "::1", port);
    } catch (const std::exception&) {
        GTEST_SKIP() << "port " << port << " is taken on ::1";
    }
    const int unused = testkit::UnusedPort();
    const struct {
        const char* name;
        QStringList addresses; // one entry: given as Addr
        int port;
        const char* answers; // "::1", "127.0.0.1", or "" for none
    } rows[] = {
        {"ipv6 loopback", {"::1"}, port, "::1"},
        {"ipv6 in brackets", {"[::1]"}, port, "::1"},
        {"name with both, ipv6 first", {"dual.test"}, port, "::1"},
        {"ipv6 refuses, ipv4 answers", {"::1", "127.0.0.1"}, 0, "127.0.0.1"},
        {"ipv4 refuses, ipv6 answers", {"127.0.0.1", "::1"}, 0, "::1"},
        {"name with both, ipv6 refuses", {"dual.test"}, 0, "127.0.0.1"},
        {"every address refuses", {"::1", "127.0.0.1"}, unused, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // Rows with port 0 close the listener of the family that must refuse.
        std::unique_ptr<LoopbackPeer> only;
        int target = row.port;
        if (target == 0) {
            only = std::make_unique<LoopbackPeer>(0, row.answers);
            target = only->Port();
        }
        TWSocket s;
        EventLog log;
        log.Attach(s);
        if (row.addresses.size() == 1)
            s.SetAddr(row.addresses[0]);
        else
            s.SetAddrList(row.addresses);
        s.SetPort(QString::number(target));
        s.Connect();
        if (!*row.answers) {
            ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
            SpinFor(50);
            const std::vector<std::string> expected = {
                "state 8->1", "state 1->3", "state 3->5", "connected 10061 in 5", "state 5->8", "closed 0 after ",
            };
            EXPECT_EQ(log.lines, expected);
            continue;
        }
        LoopbackPeer& peer = only ? *only : QLatin1String(row.answers) == QLatin1String("::1") ? *v6 : v4;
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(WaitUntil([&] { return log.Has("connected 0 in 5"); }));
        EXPECT_EQ(s.ConnectedAddr(), QString::fromLatin1(row.answers));
        const std::vector<std::string> expected = {"state 8->1", "state 1->3", "state 3->5", "connected 0 in 5"};
        EXPECT_EQ(log.lines, expected);
        s.SendStr(QByteArray("EHLO x\r\n"));
        EXPECT_EQ(peer.ReadAtLeast(8), QByteArray("EHLO x\r\n"));
        peer.CloseConnection();
    }
}

// An address this machine cannot even try (here: an IPv6 address from a socket bound to an IPv4
// one) never hides what another address answered: the relay's refusal is still 10061. Alone, it
// fails as Connect always failed.
TEST(WSocketConnect, AnAddressThatCannotBeTriedHidesNoAnswer)
{
    const int port = testkit::UnusedPort();
    for (const QStringList& addresses : {QStringList{"127.0.0.1", "::1"}, QStringList{"::1", "127.0.0.1"}}) {
        SCOPED_TRACE(addresses.join(u' ').toStdString());
        TWSocket s;
        EventLog log;
        log.Attach(s);
        s.SetAddrList(addresses);
        s.SetPort(QString::number(port));
        s.SetLocalAddr(QStringLiteral("127.0.0.1"));
        EXPECT_NO_THROW(s.Connect());
        EXPECT_EQ(log.Count("connected"), 0) << "the end of the attempt comes later";
        ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
        EXPECT_TRUE(log.Has("connected 10061 in 5"));
        EXPECT_EQ(log.Count("connected"), 1);
    }
    TWSocket s;
    s.SetAddr(QStringLiteral("::1"));
    s.SetPort(QString::number(port));
    s.SetLocalAddr(QStringLiteral("127.0.0.1"));
    try {
        s.Connect();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Address family not supported by protocol family (#10047 in Connect (bind))");
    }
    EXPECT_EQ(s.LastError(), 10047);
    EXPECT_EQ(s.State(), wsClosed);
}

// An address that does not answer at all gives way to the next one once its attempt has had its
// time; the last address is waited for as the system waits.
TEST(WSocketConnect, SilentAddressGivesWayToTheNextAfterTheAttemptTimeout)
{
    if (!testkit::CanListenOn("127.0.0.2"))
        GTEST_SKIP() << "127.0.0.2 is not a loopback address here";
    LoopbackPeer peer;
    std::unique_ptr<testkit::SilentListener> silent;
    try {
        silent = std::make_unique<testkit::SilentListener>("127.0.0.2", peer.Port());
    } catch (const std::exception&) {
        GTEST_SKIP() << "port " << peer.Port() << " is taken on 127.0.0.2";
    }
    {
        TWSocket s;
        EventLog log;
        log.Attach(s);
        s.SetAddrList({QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.1")});
        s.SetPort(peer.PortText());
        s.SetConnectAttemptTimeout(200);
        s.Connect();
        EXPECT_EQ(s.ConnectedAddr(), QStringLiteral("127.0.0.2"));
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(WaitUntil([&] { return log.Has("connected 0 in 5"); }));
        EXPECT_EQ(s.ConnectedAddr(), QStringLiteral("127.0.0.1"));
        EXPECT_EQ(log.Count("connected"), 1);
    }
    {
        TWSocket s;
        EventLog log;
        log.Attach(s);
        s.SetAddr(QStringLiteral("127.0.0.2"));
        s.SetPort(peer.PortText());
        s.SetConnectAttemptTimeout(100);
        s.Connect();
        SpinFor(600);
        EXPECT_EQ(s.State(), wsConnecting);
        EXPECT_EQ(log.Count("connected"), 0);
    }
}

TEST(WSocketConnect, ServiceNameSmtpGivesPort25)
{
    // Needs the mail port itself; skipped where it cannot be had.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(25);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(fd, 1) < 0) {
        ::close(fd);
        GTEST_SKIP() << "port 25 is not available here";
    }
    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(QStringLiteral("smtp"));
    s.Connect();
    const bool connected = WaitUntil([&] { return log.Has("connected 0 in 5"); });
    ::close(fd);
    EXPECT_TRUE(connected);
}

// ---- sending ----------------------------------------------------------------------------------

TEST(WSocketSend, LargeSendToASlowReaderArrivesWholeWithOneDataSentAtTheEnd)
{
    Connected c(4096);
    ASSERT_TRUE(c.ok);
    QByteArray big(4 * 1024 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 1460);
    c.log.insideCall = true;
    EXPECT_EQ(c.s.Send(big.constData(), static_cast<int>(big.size())), big.size());
    EXPECT_EQ(c.s.SendStr(QStringLiteral("tail\r\n")), 6);
    c.log.insideCall = false;
    EXPECT_FALSE(c.s.AllSent()) << "the peer cannot have taken 4 MB at once";
    const QByteArray got = c.peer.ReadAtLeast(static_cast<int>(big.size()) + 6);
    EXPECT_TRUE(got == big + "tail\r\n") << "received " << got.size() << " bytes";
    ASSERT_TRUE(WaitUntil([&] { return c.log.Count("sent") == 1; }));
    SpinFor(50);
    EXPECT_EQ(c.log.Count("sent"), 1);
    EXPECT_FALSE(c.log.eventInsideCall);
    EXPECT_TRUE(c.s.AllSent());
    EXPECT_EQ(c.s.WriteCount(), static_cast<std::uint64_t>(big.size() + 6));
}

TEST(WSocketSend, BufferedBytesGoOutWithTheNextSend)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    c.s.PutDataInSendBuffer("HELO", 4);
    SpinFor(50);
    EXPECT_EQ(c.log.Count("sent"), 0);
    EXPECT_THROW(c.s.Send("x", -1), ESocketException) << "a negative count is refused, not sent";
    EXPECT_EQ(c.s.State(), wsConnected);
    c.s.SendStr(QByteArray("\r\n"));
    EXPECT_EQ(c.peer.ReadAtLeast(6), QByteArray("HELO\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return c.log.Count("sent") == 1; }));
}

TEST(WSocketSend, SendWithoutConnectionIsRefused)
{
    TWSocket s;
    try {
        s.SendStr(QByteArray("x"));
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Socket is not connected (#10057 in Send)");
    }
    int errors = 0;
    s.OnError = [&](TWSocket*) { ++errors; };
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10057);
}

TEST(WSocketSend, LostConnectionIsReportedOnceWithItsCode)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    c.peer.ResetConnection();
    // Whichever notices first, the write or the read side, the loss is reported once.
    const QByteArray line(100, 'x');
    for (int i = 0; i < 50 && c.s.State() == wsConnected; ++i) {
        c.s.SendStr(line);
        SpinFor(5);
    }
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    SpinFor(50);
    EXPECT_EQ(c.log.Count("closed"), 1);
    EXPECT_EQ(c.log.Count("closed 10054"), 1) << ::testing::PrintToString(c.log.lines);
}


TEST(WSocketSend, BytesBufferedWhileConnectingGoOutOnceConnected)
{
    Connecting c;
    c.s.PutDataInSendBuffer("early\r\n", 7);
    ASSERT_TRUE(c.peer.Accept());
    EXPECT_EQ(c.peer.ReadAtLeast(7), QByteArray("early\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return c.log.Count("sent") == 1; }));
}

TEST(WSocketClose, ShutdownOfTheSendingSideLetsTheReplyStillArrive)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    c.s.SendStr(QByteArray("QUIT\r\n"));
    c.s.Shutdown(1);
    EXPECT_EQ(c.peer.ReadToEnd(), QByteArray("QUIT\r\n"));
    c.peer.SendBytes("221 bye\r\n");
    c.peer.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    EXPECT_EQ(c.log.received, QByteArray("221 bye\r\n"));
    EXPECT_EQ(c.log.Count("closed 0"), 1);
    EXPECT_NO_THROW(c.s.Shutdown(2)) << "no socket: nothing to do";
}

TEST(WSocketConnect, StateChangedByAHandlerDuringConnectIsAnError)
{
    LoopbackPeer peer;
    TWSocket s;
    s.OnChangeState = [](TWSocket* w, TSocketState, TSocketState n) {
        if (n == wsOpened)
            w->Close();
    };
    Target(s, peer.Port());
    try {
        s.Connect();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Invalid argument (#10022 in Connect (Invalid operation in OnChangeState))");
    }
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.LastError(), 10022);
}

int OpenDescriptors()
{
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (::fcntl(fd, F_GETFD) != -1)
            ++n;
    return n;
}

TEST(WSocketLifetime, EveryDescriptorIsReleased)
{
    ScopedResolver r(FakeDns);
    const int before = OpenDescriptors();
    {
        LoopbackPeer peer;
        const int refusedPort = testkit::UnusedPort();
        // Closed, refused, refused before any system call, freed while connected, freed while
        // connecting, freed while a lookup is pending.
        Connected closed;
        ASSERT_TRUE(closed.ok);
        closed.s.Close();
        {
            TWSocket s;
            Target(s, refusedPort);
            s.Connect();
            ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
            s.SetAddr(QStringLiteral("unknown.test"));
            s.SetPort(QStringLiteral("25"));
            EXPECT_THROW(s.Connect(), ESocketException);
        }
        {
            Connected alive;
            ASSERT_TRUE(alive.ok);
        }
        {
            TWSocket s;
            Target(s, peer.Port());
            s.Connect();
            s.DnsLookup(QStringLiteral("relay.test"));
        }
    }
    SpinFor(50);
    EXPECT_EQ(OpenDescriptors(), before);
}

// ---- receiving --------------------------------------------------------------------------------

TEST(WSocketReceive, HandlerThatDoesNotReadIsNotCalledAgainUntilItReads)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    int calls = 0;
    c.s.OnDataAvailable = [&](TWSocket*, std::uint16_t) { ++calls; };
    c.peer.SendBytes("250 ok\r\n");
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    SpinFor(100);
    EXPECT_EQ(calls, 1);
    char buf[16];
    EXPECT_EQ(c.s.Receive(buf, 3), 3);
    ASSERT_TRUE(WaitUntil([&] { return calls > 1; }));
    EXPECT_EQ(c.s.State(), wsConnected);
}

// A relay that floods the connection must not keep the thread inside the receive loop: other
// events (the operator's abort, a deadline) still run while bytes keep waiting, and every byte
// is delivered in order afterwards.
TEST(WSocketReceive, FloodingPeerLeavesTheEventLoopItsTurn)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    bool reading = false;
    QByteArray got;
    qsizetype gotWhenOthersRan = -1;
    c.s.OnDataAvailable = [&](TWSocket* w, std::uint16_t) {
        if (!reading)
            return; // nothing is read until every byte of the flood is waiting
        if (got.isEmpty())
            QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { gotWhenOthersRan = got.size(); }, Qt::QueuedConnection);
        char buf[100];
        const int n = w->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
    };
    QByteArray flood(64 * 1024, '\0');
    for (qsizetype i = 0; i < flood.size(); ++i)
        flood[i] = static_cast<char>('a' + i % 26);
    c.peer.SendBytes(flood);
    SpinFor(50);
    reading = true;
    char first[1];
    ASSERT_EQ(c.s.Receive(first, 1), 1); // re-arms the notifications
    ASSERT_TRUE(WaitUntil([&] { return got.size() == flood.size() - 1; }));
    EXPECT_GE(gotWhenOthersRan, 0);
    EXPECT_LT(gotWhenOthersRan, flood.size() / 2) << "the loop drained the flood before anything else ran";
    EXPECT_EQ(got, flood.mid(1));
}

TEST(WSocketReceive, ExceptionFromDataHandlerIsSwallowedAndReadingGoesOn)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    bool ownerAborted = false;
    c.s.SetBgExceptionOwnerAbort([&] { ownerAborted = true; });
    QByteArray got;
    c.s.OnDataAvailable = [&](TWSocket* w, std::uint16_t) {
        char buf[64];
        const int n = w->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
        if (got == "first")
            throw ESocketException("handler failed");
    };
    c.peer.SendBytes("first");
    ASSERT_TRUE(WaitUntil([&] { return got == "first"; }));
    c.peer.SendBytes("second");
    ASSERT_TRUE(WaitUntil([&] { return got == "firstsecond"; }));
    EXPECT_FALSE(ownerAborted);
    EXPECT_EQ(c.s.State(), wsConnected);
}

TEST(WSocketReceive, PeerResetWhileIdleClosesWithResetCode)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    c.peer.ResetConnection();
    ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsClosed; }));
    EXPECT_EQ(c.log.Count("closed 10054"), 1);
}

// ---- closing ----------------------------------------------------------------------------------

TEST(WSocketClose, CloseAndAbortReportTheCloseBeforeReturningAndOnlyOnce)
{
    const struct { const char* name; bool abort; bool waitConnected; } rows[] = {
        {"Close connected", false, true},
        {"Abort connected", true, true},
        {"Close connecting", false, false},
        {"Abort connecting", true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Connecting c;
        if (row.waitConnected) {
            ASSERT_TRUE(WaitUntil([&] { return c.s.State() == wsConnected; }));
        }
        c.s.PutDataInSendBuffer("unsent", 6);
        row.abort ? c.s.Abort() : c.s.Close();
        EXPECT_EQ(c.s.State(), wsClosed);
        EXPECT_EQ(c.log.Count("closed 0"), 1);
        const auto before = c.log.lines.size();
        c.s.Close();
        c.s.Abort();
        SpinFor(50);
        EXPECT_EQ(c.log.lines.size(), before) << "nothing more after the close";
        EXPECT_EQ(c.log.Count("sent"), 0);
    }
}

TEST(WSocketClose, DefaultsAreRestoredAfterClose)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    c.s.SetLingerOnOff(wsLingerOff);
    c.s.Close();
    EXPECT_EQ(c.s.Proto(), QStringLiteral("tcp"));
    EXPECT_EQ(c.s.LocalAddr(), QStringLiteral("0.0.0.0"));
    EXPECT_EQ(c.s.LocalPort(), QStringLiteral("0"));
    EXPECT_EQ(c.s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(c.s.LingerTimeout(), 0);
    EXPECT_EQ(c.s.Addr(), QStringLiteral("127.0.0.1")) << "the text is kept";
    // ... but counts as not given.
    EXPECT_THROW(c.s.Connect(), ESocketException);
}

TEST(WSocketProperties, RemoteSettingsCannotChangeWhileNotClosed)
{
    Connected c;
    ASSERT_TRUE(c.ok);
    const struct { const char* name; std::function<void(TWSocket&, const QString&)> set; QString same; } rows[] = {
        {"Addr", [](TWSocket& s, const QString& v) { s.SetAddr(v); }, QStringLiteral("127.0.0.1")},
        {"Port", [](TWSocket& s, const QString& v) { s.SetPort(v); }, c.peer.PortText()},
        {"Proto", [](TWSocket& s, const QString& v) { s.SetProto(v); }, QStringLiteral("tcp")},
        {"LocalAddr", [](TWSocket& s, const QString& v) { s.SetLocalAddr(v); }, QStringLiteral("0.0.0.0")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_NO_THROW(row.set(c.s, row.same));
        try {
            row.set(c.s, QStringLiteral("9"));
            ADD_FAILURE() << "no exception";
        } catch (const ESocketException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Cannot change ") + row.name + " if not closed");
        }
    }
    EXPECT_EQ(c.s.State(), wsConnected);
    c.s.Close();
    for (const auto& row : rows)
        EXPECT_NO_THROW(row.set(c.s, QStringLiteral("9")));
}

// ---- handlers that free or break the socket ---------------------------------------------------

TEST(WSocketLifetime, SocketFreedInsideItsOwnHandlerDoesNotCrash)
{
    enum Event { Connected_, DataAvailable, DataSent, SessionClosed, ChangeToConnected };
    const struct { const char* name; Event event; } rows[] = {
        {"OnSessionConnected", Connected_}, {"OnDataAvailable", DataAvailable}, {"OnDataSent", DataSent},
        {"OnSessionClosed", SessionClosed}, {"OnChangeState", ChangeToConnected},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int liveBefore = TWSocket::LiveCount();
        LoopbackPeer peer;
        auto* s = new TWSocket;
        bool freed = false;
        auto free = [&](TWSocket* w) {
            delete w;
            freed = true;
        };
        switch (row.event) {
        case Connected_: s->OnSessionConnected = [&](TWSocket* w, std::uint16_t) { free(w); }; break;
        case DataAvailable: s->OnDataAvailable = [&](TWSocket* w, std::uint16_t) { free(w); }; break;
        case DataSent: s->OnDataSent = [&](TWSocket* w, std::uint16_t) { free(w); }; break;
        case SessionClosed: s->OnSessionClosed = [&](TWSocket* w, std::uint16_t) { free(w); }; break;
        case ChangeToConnected:
            s->OnChangeState = [&](TWSocket* w, TSocketState, TSocketState n) {
                if (n == wsConnected)
                    free(w);
            };
            break;
        }
        Target(*s, peer.Port());
        s->Connect();
        ASSERT_TRUE(peer.Accept());
        if (row.event == DataSent) {
            ASSERT_TRUE(WaitUntil([&] { return s->State() == wsConnected; }));
            s->SendStr(QByteArray("x"));
        }
        if (row.event == DataAvailable || row.event == SessionClosed) {
            peer.SendBytes("data");
            peer.CloseConnection();
        }
        ASSERT_TRUE(WaitUntil([&] { return freed; }));
        SpinFor(50);
        EXPECT_EQ(TWSocket::LiveCount(), liveBefore);
    }
}

TEST(WSocketLifetime, BackgroundExceptionAbortsTheConnectionUnlessKept)
{
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "kept" : "aborted");
        Connected c;
        ASSERT_TRUE(c.ok);
        bool ownerAborted = false;
        c.s.SetBgExceptionOwnerAbort([&] { ownerAborted = true; });
        std::string seen;
        c.s.OnBgException = [&](TVyrWndControl*, const std::exception& e, bool& canClose) {
            seen = e.what();
            canClose = !keep;
        };
        c.s.PostTestException();
        ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
        SpinFor(20);
        EXPECT_EQ(seen, "Test exception in WSocket");
        EXPECT_EQ(ownerAborted, !keep);
        EXPECT_EQ(c.s.State(), keep ? wsConnected : wsClosed);
        EXPECT_EQ(c.log.Count("closed 0"), keep ? 0 : 1);
    }
}

TEST(WSocketLifetime, ExceptionFromAnEventHandlerGoesToBackgroundHandling)
{
    ScopedResolver r(FakeDns);
    // EAbort is silent; anything else aborts the owner and the socket.
    for (bool silent : {true, false}) {
        SCOPED_TRACE(silent ? "EAbort" : "ESocketException");
        TWSocket s;
        int ownerAborts = 0;
        s.SetBgExceptionOwnerAbort([&] { ++ownerAborts; });
        bool fired = false;
        s.OnDnsLookupDone = [&](TWSocket*, std::uint16_t) {
            fired = true;
            if (silent)
                throw EAbort("quiet");
            throw ESocketException("loud");
        };
        s.DnsLookup(QStringLiteral("relay.test"));
        ASSERT_TRUE(WaitUntil([&] { return fired; }));
        SpinFor(20);
        EXPECT_EQ(ownerAborts, silent ? 0 : 1);
    }
}

} // namespace
} // namespace kestravo::mail
