// SPDX-License-Identifier: Apache-2.0
// The DirectIP link against a gateway of the test's on a loopback port: each row is what the
// gateway does with the MT message it reads, and the result the message gets.
#include "directip/directip_link.h"
#include "directip/mt_message.h"
#include "send/sbd_send.h"
#include "ways/send_ways.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <set>

using namespace kestravo;
using namespace kestravo::directip;
using namespace kestravo::send;
using namespace kestravo::ways;
using kestravo::endpoints::Endpoints;

namespace {

const QString kImei = QStringLiteral("300234010123450");

TConfigRecord Record(int seed)
{
    TConfigRecord r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = std::uint8_t(i * 31 + seed);
    return r;
}

std::span<const std::uint8_t> Span(const QByteArray& b)
{
    return std::span(reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size()));
}

QByteArray Confirm(const MtMessage& m, std::int16_t status, std::uint32_t reference = 123456)
{
    return EncodeConfirmation({m.clientId, m.imei, status < 0 ? 0u : reference, status});
}

// What the gateway sends back for the message it read: its bytes, then after a pause (a segment
// of their own) more bytes, and whether it then closes.
struct Reply {
    QByteArray bytes;
    bool close = true;
    QByteArray later = {};
    int pauseMs = 0;
    bool held = false; // kept until the test releases it
};
using Behaviour = std::function<Reply(const MtMessage&)>;

// A DirectIP gateway on loopback: reads each connection's MT message whole, answers as told.
class FakeGateway {
public:
    explicit FakeGateway(Behaviour behaviour, const QHostAddress& address = QHostAddress::LocalHost)
        : behaviour_(std::move(behaviour))
    {
        server_.listen(address, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                ++open_;
                maxOpen_ = std::max(maxOpen_, open_);
                buffers_.erase(s); // a new socket may come at the address of an old one
                QObject::connect(s, &QTcpSocket::disconnected, [this, s] {
                    --open_;
                    buffers_.erase(s);
                    s->deleteLater();
                });
                QObject::connect(s, &QTcpSocket::readyRead, [this, s] { Read(s); });
            }
        });
    }
    ~FakeGateway()
    {
        // The sockets go with the server, after this object's other members: they must not
        // report to it any more.
        for (QTcpSocket* s : server_.findChildren<QTcpSocket*>())
            s->disconnect();
    }
    quint16 Port() const { return server_.serverPort(); }
    bool Listening() const { return server_.isListening(); }
    std::vector<MtMessage> received;
    int maxOpen() const { return maxOpen_; }
    // Told how many answers are held whenever one more is.
    std::function<void(std::size_t held)> onHeld;
    // Sends the held answers, the last held first.
    void ReleaseHeldNewestFirst()
    {
        auto held = std::move(held_);
        held_.clear();
        for (auto it = held.rbegin(); it != held.rend(); ++it)
            if (it->first)
                Answer(it->first, it->second);
    }

private:
    void Read(QTcpSocket* s)
    {
        QByteArray& buffer = buffers_[s];
        buffer += s->readAll();
        const std::size_t whole = WholeMessageSize(Span(buffer));
        if (whole == 0 || std::size_t(buffer.size()) < whole)
            return;
        const MtReading reading = ReadMtMessage(Span(buffer));
        ASSERT_TRUE(reading.message) << reading.why.toStdString();
        received.push_back(*reading.message);
        const Reply reply = behaviour_(*reading.message);
        if (reply.held) {
            held_.emplace_back(s, reply);
            if (onHeld)
                onHeld(held_.size());
            return;
        }
        Answer(s, reply);
    }

    void Answer(QTcpSocket* s, const Reply& reply)
    {
        s->write(reply.bytes);
        s->flush();
        if (reply.pauseMs == 0 && reply.later.isEmpty()) {
            if (reply.close)
                s->disconnectFromHost();
            return;
        }
        QTimer::singleShot(reply.pauseMs, s, [s = QPointer<QTcpSocket>(s), reply] {
            if (!s)
                return;
            s->write(reply.later);
            s->flush();
            if (reply.close)
                s->disconnectFromHost();
        });
    }

    QTcpServer server_;
    Behaviour behaviour_;
    std::map<QTcpSocket*, QByteArray> buffers_;
    std::vector<std::pair<QPointer<QTcpSocket>, Reply>> held_;
    int open_ = 0;
    int maxOpen_ = 0;
};

endpoints::Endpoints GatewayEndpoints(quint16 port, int timeout = 2)
{
    endpoints::Endpoints e;
    e.transport = endpoints::Transport::DirectIp;
    e.directipHost = QStringLiteral("127.0.0.1");
    e.directipPort = QString::number(port);
    e.timeoutSeconds = timeout;
    return e;
}

} // namespace

TEST(DirectIpCodec, MtMessageRoundTripsAndRefusesWhatTheGatewayWould)
{
    MtMessage m;
    m.clientId = 0x01020304;
    m.imei = "300234010123450";
    m.flags = kFlushQueue;
    m.payload = QByteArray(44, '\x5a');
    m.priority = 2;
    const QByteArray bytes = EncodeMtMessage(m);
    // revision, overall length, header (3 + 21), payload (3 + 44), priority (3 + 2)
    ASSERT_EQ(bytes.size(), 3 + 24 + 47 + 5);
    EXPECT_EQ(bytes.left(3), QByteArray::fromHex("01004c"));
    EXPECT_EQ(bytes.mid(3, 7), QByteArray::fromHex("41001501020304"));
    const MtReading back = ReadMtMessage(Span(bytes));
    ASSERT_TRUE(back.message);
    EXPECT_EQ(back.refusal, 0);
    EXPECT_EQ(back.message->clientId, m.clientId);
    EXPECT_EQ(back.message->imei, m.imei);
    EXPECT_EQ(back.message->flags, kFlushQueue);
    EXPECT_EQ(back.message->payload, m.payload);
    EXPECT_EQ(back.message->priority, 2);

    for (const auto& [name, change] : std::vector<std::pair<const char*, std::function<void(MtMessage&)>>>{
             {"client ID 0", [](MtMessage& x) { x.clientId = 0; }},
             {"IMEI with a sign", [](MtMessage& x) { x.imei = "30023401012345+"; }},
             {"IMEI of 14", [](MtMessage& x) { x.imei = "30023401012345"; }},
             {"payload of 271", [](MtMessage& x) { x.payload = QByteArray(271, 'a'); }},
             {"no payload", [](MtMessage& x) { x.payload.clear(); }},
             {"priority 6", [](MtMessage& x) { x.priority = 6; }},
         }) {
        MtMessage bad = m;
        change(bad);
        EXPECT_THROW(EncodeMtMessage(bad), std::invalid_argument) << name;
    }
}

TEST(DirectIpCodec, ConfirmationReaderRejectsTheWholeMessageOnAnythingOff)
{
    MtMessage m;
    m.clientId = 7;
    m.imei = "300234010123450";
    const QByteArray good = Confirm(m, 3);
    ASSERT_EQ(std::size_t(good.size()), kConfirmationSize);
    const std::optional<MtConfirmation> c = ReadConfirmation(Span(good));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->clientId, 7u);
    EXPECT_EQ(c->autoIdReference, 123456u);
    EXPECT_EQ(c->status, 3);
    EXPECT_EQ(ReadConfirmation(Span(Confirm(m, -11)))->status, -11);

    const auto with = [&](int at, char value) {
        QByteArray b = good;
        b[at] = value;
        return b;
    };
    const std::pair<const char*, QByteArray> bad[] = {
        {"empty", QByteArray()},
        {"start only", good.left(3)},
        {"cut short", good.left(20)},
        {"overall length says more", with(2, 40)},
        {"overall length says less", with(2, 20)},
        {"revision 2", with(0, 2)},
        {"header element in its place", with(3, 0x41)},
        {"element length 24", with(5, 24)},
        {"element length 26", with(5, 26)},
        {"extra bytes after it", good + QByteArray("\0\0\0", 3)},
        {"a second element", [&] {
             QByteArray b = good + QByteArray::fromHex("460002") + QByteArray::fromHex("0001");
             b[2] = char(28 + 5);
             return b;
         }()},
        {"status 51", Confirm(m, 51)},
        {"status -12", Confirm(m, -12)},
    };
    for (const auto& [name, bytes] : bad) {
        QString why;
        EXPECT_FALSE(ReadConfirmation(Span(bytes), &why)) << name;
        EXPECT_FALSE(why.isEmpty()) << name;
    }
}

// One row per thing a gateway may do; every row that is not a proper confirmation of this very
// message with a queue place ends in something other than success. A row's answer may come in two
// segments with a pause between: where the bytes fall in time never changes the verdict.
TEST(DirectIpLink, Transcripts)
{
    struct Row {
        const char* name;
        Behaviour gateway;
        int code;
        Outcome outcome;
        const char* detail;
        int queuePlace = -1;
        const char* reference = "";
        int timeout = 1;
    };
    const auto confirmThen = [](std::int16_t status, QByteArray later, int pauseMs, std::uint32_t reference = 123456) {
        return [=](const MtMessage& m) { return Reply{Confirm(m, status, reference), true, later, pauseMs}; };
    };
    std::vector<Row> rows = {
        {"queued, place 3", [](const MtMessage& m) { return Reply{Confirm(m, 3)}; }, 0, Outcome::Accepted,
         "queued, place 3 of the device's queue (reference 123456)", 3, "123456"},
        {"the last place", [](const MtMessage& m) { return Reply{Confirm(m, 50)}; }, 0, Outcome::Accepted,
         "place 50", 50, "123456"},
        {"reference 0", [](const MtMessage& m) { return Reply{Confirm(m, 2, 0)}; }, 0, Outcome::Accepted,
         "(reference 0)", 2, "0"},
        {"confirmation in two segments", [](const MtMessage& m) {
             const QByteArray c = Confirm(m, 4);
             return Reply{c.left(10), true, c.mid(10), 300};
         }, 0, Outcome::Accepted, "place 4", 4, "123456"},
        {"confirmation, then the gateway keeps the connection open",
         [](const MtMessage& m) { return Reply{Confirm(m, 5), false}; }, 0, Outcome::Accepted, "place 5", 5, "123456", 3},
        // Status 0 to a message with a payload: nothing will reach the device.
        {"status 0", [](const MtMessage& m) { return Reply{Confirm(m, 0)}; }, kNothingQueued, Outcome::NothingQueued,
         "nothing queued for the device", 0, "123456"},
        {"status 0, reference 0", [](const MtMessage& m) { return Reply{Confirm(m, 0, 0)}; }, kNothingQueued,
         Outcome::NothingQueued, "(status 0, reference 0)", 0, "0"},
        // Bytes after the confirmation: one verdict whether they share its segment or come later,
        // and the gateway's reference is kept.
        {"extra bytes in the same segment", confirmThen(1, "xyz", 0), 20600, Outcome::ConnectionFailed,
         "sent 3 bytes more after its confirmation, which said: queued, place 1 of the device's queue "
         "(reference 123456)", -1, "123456"},
        {"extra bytes 0.3 s later", confirmThen(1, "xyz", 300), 20600, Outcome::ConnectionFailed,
         "sent 3 bytes more after its confirmation, which said: queued, place 1", -1, "123456"},
        {"a second confirmation 0.3 s later", [](const MtMessage& m) {
             return Reply{Confirm(m, 1), true, Confirm(m, 2), 300};
         }, 20600, Outcome::ConnectionFailed, "sent 31 bytes more", -1, "123456"},
        {"extra bytes after status 0", confirmThen(0, "z", 300, 0), 20600, Outcome::ConnectionFailed,
         "sent 1 byte more after its confirmation, which said: nothing queued", -1, "0"},
        {"extra bytes after a refusal", confirmThen(-2, "z", 0), 20600, Outcome::ConnectionFailed,
         "which said: unknown IMEI"},
        {"cut short", [](const MtMessage& m) { return Reply{Confirm(m, 1).left(17)}; }, 20600,
         Outcome::ConnectionFailed, "answered with 17 bytes that are not a confirmation: its overall length says 28"},
        {"length that lies", [](const MtMessage& m) {
             QByteArray b = Confirm(m, 1);
             b[2] = 30;
             return Reply{b};
         }, 20600, Outcome::ConnectionFailed, "overall length"},
        {"other client message ID", [](const MtMessage& m) {
             MtMessage other = m;
             other.clientId = m.clientId + 1;
             return Reply{Confirm(other, 1)};
         }, 20600, Outcome::ConnectionFailed, "client message ID"},
        {"other IMEI", [](const MtMessage& m) {
             MtMessage other = m;
             other.imei = "300234010999999";
             return Reply{Confirm(other, 1)};
         }, 20600, Outcome::ConnectionFailed, "IMEI"},
        // Garbage is read whole (up to a bound) and named for what it is.
        {"long garbage", [](const MtMessage&) { return Reply{QByteArray(5000, 'G'), true, QByteArray(5000, 'G'), 200}; },
         20600, Outcome::ConnectionFailed, "answered with 10000 bytes that are not a confirmation: protocol revision 71"},
        {"garbage past the bound, never closed", [](const MtMessage&) { return Reply{QByteArray(70000, 'G'), false}; },
         20600, Outcome::ConnectionFailed, "answered with more than 65536 bytes that are not a confirmation"},
        {"garbage, then silence", [](const MtMessage&) { return Reply{QByteArray(100, 'G'), false}; }, 20600,
         Outcome::ConnectionFailed, "answered with 100 bytes", -1, "", 3},
        {"never answers", [](const MtMessage&) { return Reply{QByteArray(), false}; }, 10060,
         Outcome::ConnectionFailed, "did not answer within 1 second for its confirmation"},
        {"half a confirmation, then silence", [](const MtMessage& m) { return Reply{Confirm(m, 1).left(20), false}; },
         10060, Outcome::ConnectionFailed, "did not answer within 1 second"},
        {"closes early", [](const MtMessage&) { return Reply{QByteArray(), true}; }, 10004,
         Outcome::ConnectionFailed, "without a confirmation"},
    };
    for (int status = -1; status >= -11; --status)
        rows.push_back({"refusal", [status](const MtMessage& m) { return Reply{Confirm(m, std::int16_t(status))}; },
                        status, Outcome::Refused, ""});

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeGateway gateway(row.gateway);
        SendOptions options;
        options.flushQueue = true;
        options.priority = 1;
        const std::vector<SbdResult> results = SendAll(GatewayEndpoints(gateway.Port(), row.timeout),
                                                       {{kImei, Record(0)}}, {}, {}, QuitReply::Await, options);
        ASSERT_EQ(results.size(), 1u);
        const SbdResult& r = results.front();
        EXPECT_EQ(r.code, row.code) << r.detail.toStdString();
        EXPECT_EQ(r.outcome, row.outcome);
        EXPECT_TRUE(r.detail.contains(QLatin1String(row.detail))) << r.detail.toStdString();
        EXPECT_EQ(r.accepted(), row.code == 0);
        if (row.code < 0) { // every refusal has words of its own
            EXPECT_EQ(r.detail, StatusText(row.code, 0));
        }
        EXPECT_EQ(r.queuePlace, row.queuePlace);
        EXPECT_EQ(r.reference, QLatin1String(row.reference));
        ASSERT_EQ(gateway.received.size(), 1u);
        const MtMessage& sent = gateway.received.front();
        EXPECT_NE(sent.clientId, 0u);
        EXPECT_EQ(sent.imei, kImei.toLatin1());
        EXPECT_EQ(sent.flags, kFlushQueue);
        EXPECT_EQ(sent.priority, 1);
        const TConfigRecord record = Record(0);
        EXPECT_EQ(sent.payload, QByteArray(reinterpret_cast<const char*>(record.data()), 44));
    }
}

TEST(DirectIpLink, ConnectionFailuresKeepTheTransportsCodes)
{
    quint16 unused = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        unused = probe.serverPort();
    }
    std::vector<SbdResult> results = SendAll(GatewayEndpoints(unused), {{kImei, Record(0)}});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, 10061);
    EXPECT_EQ(results[0].outcome, Outcome::ConnectionFailed);
    EXPECT_TRUE(results[0].detail.contains(QStringLiteral("127.0.0.1:%1").arg(unused))) << results[0].detail.toStdString();

    endpoints::Endpoints e = GatewayEndpoints(unused);
    e.directipHost = QStringLiteral("no-such-host.invalid");
    results = SendAll(e, {{kImei, Record(0)}});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].code == 11001 || results[0].code == 11002 || results[0].code == 11004) << results[0].code;
    EXPECT_TRUE(results[0].detail.contains(QStringLiteral("no-such-host.invalid"))) << results[0].detail.toStdString();

    // The window lets "+" and "-" into an IMEI; the gateway takes digits only, so nothing goes out.
    FakeGateway gateway([](const MtMessage& m) { return Reply{Confirm(m, 1)}; });
    results = SendAll(GatewayEndpoints(gateway.Port()), {{QStringLiteral("30023401012345+"), Record(0)}});
    EXPECT_EQ(results.at(0).code, 500);
    EXPECT_TRUE(gateway.received.empty());
}

// A gateway that listens on IPv6 only is reached by its literal and by "localhost", which has
// both families: the link tries each address the lookup gives.
TEST(DirectIpLink, ReachesAGatewayOnIpv6)
{
    FakeGateway gateway([](const MtMessage& m) { return Reply{Confirm(m, 1)}; }, QHostAddress::LocalHostIPv6);
    if (!gateway.Listening())
        GTEST_SKIP() << "this machine cannot listen on ::1";
    for (const char* host : {"::1", "localhost"}) {
        SCOPED_TRACE(host);
        endpoints::Endpoints e = GatewayEndpoints(gateway.Port());
        e.directipHost = QString::fromLatin1(host);
        const std::vector<SbdResult> results = SendAll(e, {{kImei, Record(0)}});
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].code, 0) << results[0].detail.toStdString();
    }
    EXPECT_EQ(gateway.received.size(), 2u);
}

// A fleet: one connection per message, as many at once as the link was made for and never more,
// results in the order of the input whatever order the answers come in (here each batch answered
// newest first); a full queue and unknown IMEIs refuse only their own devices.
TEST(DirectIpLink, FleetKeepsOrderAndItsNumberInFlight)
{
    for (const int parallel : {1, 4, 5, 32}) {
        SCOPED_TRACE(parallel);
        const QString full = QStringLiteral("300234010125555");
        std::map<QByteArray, int> queue{{full.toLatin1(), 50}};
        FakeGateway gateway([&](const MtMessage& m) {
            if (m.imei.endsWith("7"))
                return Reply{Confirm(m, -2), true, {}, 0, true};
            if (queue[m.imei] >= 50)
                return Reply{Confirm(m, -5), true, {}, 0, true};
            return Reply{Confirm(m, std::int16_t(++queue[m.imei]), m.clientId), true, {}, 0, true};
        });
        std::vector<SbdMessage> messages;
        std::vector<int> expected;
        for (int i = 0; i < 40; ++i) {
            const QString imei = QStringLiteral("30023401012%1").arg(4000 + (i % 8), 4, 10, QLatin1Char('0'));
            messages.push_back({imei, Record(i)});
            expected.push_back(imei.endsWith(u'7') ? -2 : 0);
        }
        messages.insert(messages.begin() + 5, {full, Record(99)}); // a device whose queue is full
        expected.insert(expected.begin() + 5, -5);
        // A batch is answered once it is whole: the link must fill every place it has.
        std::size_t answered = 0;
        gateway.onHeld = [&](std::size_t held) {
            if (held == std::min<std::size_t>(std::size_t(parallel), messages.size() - answered)) {
                answered += held;
                gateway.ReleaseHeldNewestFirst();
            }
        };

        SbdSend flow(std::make_unique<DirectIpLink>(Gateway{QStringLiteral("127.0.0.1"), QString::number(gateway.Port())},
                                                    SendOptions{}, parallel),
                     GatewayEndpoints(gateway.Port()).timeoutSeconds);
        std::vector<std::size_t> order;
        std::vector<int> codes;
        QEventLoop loop;
        flow.OnMessageDone = [&](std::size_t i, const SbdResult& r) {
            order.push_back(i);
            codes.push_back(r.code);
        };
        flow.OnFinished = [&] { loop.quit(); };
        flow.Start(messages);
        loop.exec();

        EXPECT_EQ(codes, expected);
        ASSERT_EQ(order.size(), messages.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            EXPECT_EQ(order[i], i);
        EXPECT_EQ(gateway.maxOpen(), parallel);
        // Client message IDs unique within the run, never 0.
        std::set<std::uint32_t> ids;
        for (const MtMessage& m : gateway.received) {
            EXPECT_NE(m.clientId, 0u);
            ids.insert(m.clientId);
        }
        EXPECT_EQ(ids.size(), gateway.received.size());
    }
}

TEST(DirectIpLink, RefusesANumberInFlightOutsideOneTo32)
{
    for (const int parallel : {0, -1, 33}) {
        EXPECT_THROW(DirectIpLink(Gateway{QStringLiteral("127.0.0.1")}, SendOptions{}, parallel), std::invalid_argument)
            << parallel;
    }
    EXPECT_EQ(DirectIpLink(Gateway{QStringLiteral("127.0.0.1")}, SendOptions{}).Parallel(), 4);
}
