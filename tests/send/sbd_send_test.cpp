// SPDX-License-Identifier: Apache-2.0
// The one send flow over the e-mail link against scripted relays: each row is a whole
// conversation, with the result every message gets.
#include "send/sbd_send.h"
#include "kit/scripted_relay.h"
#include "kit/wait.h"
#include "ways/send_ways.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

using namespace kestravo;
using namespace kestravo::send;
using namespace kestravo::testkit;
using namespace kestravo::ways;
using kestravo::endpoints::Endpoints;

namespace {

TConfigRecord Record(int seed)
{
    TConfigRecord r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = std::uint8_t(i * 37 + seed);
    return r;
}

QByteArray Bytes(const TConfigRecord& r) { return QByteArray(reinterpret_cast<const char*>(r.data()), qsizetype(r.size())); }


const QString kImei = QStringLiteral("300234010123450");

// One accepted mail transaction, from MAIL FROM to the reply to ".".
#define MAIL_ACCEPTED(reply)                                                                                     \
    "C: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\nS: 250 ok\nC: DATA\n"          \
    "S: 354 go on\nM\nS: " reply "\n"
#define QUIT "C: QUIT\nS: 221 bye\nX\n"

// Sends from ops@example.org to data@sbd.example through the relay on loopback.
Endpoints RelayEndpoints(const ScriptedRelay& relay)
{
    Endpoints e;
    e.relayHost = QStringLiteral("127.0.0.1");
    e.relayPort = QString::number(relay.Port());
    e.sender = QStringLiteral("ops@example.org");
    e.gateway = QStringLiteral("data@sbd.example");
    return e;
}

struct Transcript {
    const char* name;
    const char* script;
    int messages;
    std::vector<int> codes;
    // A part of each message's reply (nullptr: not looked at).
    std::vector<const char*> replies;
};

const Transcript kTranscripts[] = {
    {"accepted", "S: 220 relay ready\n" MAIL_ACCEPTED("250 queued as A1") QUIT, 1, {0}, {"250 queued as A1"}},
    {"503 to MAIL: greeted once with HELO, then accepted",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 503 5.5.1 send HELO first\nC~: ^HELO \nS: 250 hello\n" MAIL_ACCEPTED(
         "250 queued") QUIT,
     1, {0}, {"250 queued"}},
    {"503 and the relay hangs up: 503",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 503 5.5.1 send HELO first\nX\n", 1, {503},
     {"503 5.5.1 send HELO first"}},
    {"503 to MAIL and HELO refused: HELO's code",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 503 send HELO first\nC~: ^HELO \nS: 550 no\n" QUIT, 1,
     {550}, {"550 no"}},
    {"RCPT refused",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\n"
     "S: 550 no such user\n" QUIT,
     1, {550}, {"550 no such user"}},
    {"DATA refused",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\nS: 250 ok\n"
     "C: DATA\nS: 554 no data today\n" QUIT,
     1, {554}, {"554 no data today"}},
    {"message refused after its last line", "S: 220 relay ready\n" MAIL_ACCEPTED("554 rejected") QUIT, 1, {554},
     {"554 rejected"}},
    {"several messages in one session, RSET after the refused one",
     "S: 220 relay ready\n" MAIL_ACCEPTED("250 first") "C: MAIL FROM:<ops@example.org>\nS: 250 ok\n"
     "C: RCPT TO:<data@sbd.example>\nS: 550 not now\nC: RSET\nS: 250 reset\n" MAIL_ACCEPTED("250 third") QUIT,
     3, {0, 550, 0}, {"250 first", "550 not now", "250 third"}},
    {"421 mid-run: a fresh connection, the message tried once more",
     "S: 220 relay ready\n" MAIL_ACCEPTED("250 first") "C: MAIL FROM:<ops@example.org>\nS: 421 closing down\nX\n"
     "A\nS: 220 relay back\n" MAIL_ACCEPTED("250 second") QUIT,
     2, {0, 0}, {"250 first", "250 second"}},
    {"421 again on the fresh connection: the message keeps it",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 421 closing down\nX\nA\nS: 220 relay back\n"
     "C: MAIL FROM:<ops@example.org>\nS: 421 still closing\nX\n",
     1, {421}, {"421 still closing"}},
    {"hang-up mid-DATA: a fresh connection",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\nS: 250 ok\n"
     "C: DATA\nS: 354 go on\nC: *\nX\nA\nS: 220 relay back\n" MAIL_ACCEPTED("250 at last") QUIT,
     1, {0}, {"250 at last"}},
    {"421 after the 250 to the message: the 250 judged it",
     "S: 220 relay ready\n" MAIL_ACCEPTED("250 2.0.0 queued as Q7") "S: 421 4.3.2 shutting down\nX\n", 1, {0},
     {"250 2.0.0 queued as Q7"}},
    {"never greets: 10060", "", 2, {10060, 10060}, {"did not answer within 1 second while connecting", "10060"}},
    {"stops answering after the message: 10060",
     "S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\nS: 250 ok\n"
     "C: DATA\nS: 354 go on\nM\n",
     1, {10060}, {"did not answer"}},
};

} // namespace

TEST(SbdSend, Transcripts)
{
    for (const Transcript& t : kTranscripts) {
        SCOPED_TRACE(t.name);
        ScriptedRelay relay(QString::fromLatin1(t.script));
        Endpoints e = RelayEndpoints(relay);
        e.timeoutSeconds = 1;
        std::vector<SbdMessage> messages;
        for (int i = 0; i < t.messages; ++i)
            messages.push_back({kImei, Record(i)});
        std::vector<std::size_t> starts;
        std::vector<std::size_t> dones;
        const std::vector<SbdResult> results = SendAll(
            e, messages, [&](std::size_t i, const SbdResult&) { dones.push_back(i); },
            [&](std::size_t i) { starts.push_back(i); });

        ASSERT_EQ(results.size(), std::size_t(t.messages));
        std::vector<int> codes;
        for (const SbdResult& r : results)
            codes.push_back(r.code);
        EXPECT_EQ(codes, t.codes);
        for (std::size_t i = 0; i < results.size(); ++i) {
            EXPECT_TRUE(results[i].detail.contains(QLatin1String(t.replies[i])))
                << i << ": " << results[i].detail.toStdString();
            EXPECT_EQ(dones.at(i), i);
            EXPECT_EQ(starts.at(i), i);
        }
        EXPECT_TRUE(relay.Finished()) << relay.Where().toStdString();
        EXPECT_EQ(relay.Unexpected().join(" | ").toStdString(), "");

        // Accepted messages carry their own record and IMEI and name their Message-ID.
        int accepted = 0;
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (!results[i].accepted())
                continue;
            EXPECT_TRUE(results[i].reference.contains(u'@')) << results[i].reference.toStdString();
            EXPECT_TRUE(relay.MessageLines().contains("Message-ID: <" + results[i].reference.toLatin1() + ">"));
            ++accepted;
        }
        const QList<QByteArray> lines = relay.MessageLines();
        int delivered = 0;
        for (const QByteArray& line : lines)
            delivered += line == "Subject: " + kImei.toLatin1();
        EXPECT_GE(delivered, accepted);
        if (t.codes == std::vector<int>{0}) {
            EXPECT_EQ(Attachment(lines, delivered - 1), Bytes(Record(0)));
        }
        if (t.codes == std::vector<int>{0, 550, 0}) { // the refused one never reached DATA
            EXPECT_EQ(Attachment(lines, 1), Bytes(Record(2)));
        }
    }
}

// A tool need not wait for the relay's goodbye: SendAll returns with QUIT sent but not yet read by
// the relay (which answers only from this thread's loop), and the relay then gets it whole.
TEST(SbdSend, SendAllCanLeaveWithoutAwaitingTheQuitReply)
{
    ScriptedRelay relay("S: 220 relay ready\n" MAIL_ACCEPTED("250 queued as Q1") QUIT);
    const Endpoints e = RelayEndpoints(relay);
    const std::vector<SbdResult> results = SendAll(e, {{kImei, Record(0)}}, {}, {}, QuitReply::DoNotAwait);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, 0);
    EXPECT_TRUE(results[0].detail.contains(QStringLiteral("queued as Q1")));
    EXPECT_FALSE(relay.Finished()) << "SendAll waited for the reply to QUIT";
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit); // a bound, should the QUIT never come
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (relay.Finished())
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    EXPECT_TRUE(relay.Finished()) << relay.Where().toStdString();
    EXPECT_EQ(relay.Unexpected().join(" | ").toStdString(), "");
}

TEST(SbdSend, MalformedImeiIsNotSentAndTheOthersAre)
{
    ScriptedRelay relay("S: 220 relay ready\n" MAIL_ACCEPTED("250 ok") QUIT);
    Endpoints e = RelayEndpoints(relay);
    e.timeoutSeconds = 86400; // a day in milliseconds overflows nothing: the deadline is far off
    const std::vector<SbdResult> results =
        SendAll(e, {{QStringLiteral("30023401012345\n"), Record(0)}, {kImei, Record(1)}});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].code, 500);
    EXPECT_TRUE(results[0].reference.isEmpty());
    EXPECT_EQ(results[1].code, 0);
    EXPECT_TRUE(relay.Finished()) << relay.Where().toStdString();
}

// The window's QString check and the tool's byte check are one rule; a character outside ASCII
// never passes, whatever its width in either text.
TEST(SbdSend, ImeiRuleIsTheSameOnQStringAndBytes)
{
    const struct {
        const char* utf8;
        bool valid;
    } cases[] = {
        {"300234010123450", true},
        {"+-0123456789-+0", true},
        {"30023401012345", false},
        {"3002340101234500", false},
        {"30023401012345a", false},
        {"30023401012345 ", false},
        {"", false},
        {"30023401012345\xC3\xA9", false},       // e acute: 15 characters, 16 bytes
        {"3002340101234\xC3\xA9", false},        // 14 characters, 15 bytes
        {"30023401012345\xEF\xBC\x90", false},  // fullwidth zero
        {"3002340101234\xF0\x9D\x9F\x8E", false}, // mathematical bold zero: two UTF-16 units
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsImeiText(QString::fromUtf8(c.utf8)), c.valid) << c.utf8;
        EXPECT_EQ(kestravo::IsImei(c.utf8), c.valid) << c.utf8;
    }
}

TEST(SbdSend, RefusedConnectionGives500WithTheReason)
{
    Endpoints e;
    e.relayHost = QStringLiteral("127.0.0.1");
    {
        QTcpServer probe; // a port nobody listens on once the probe is gone
        probe.listen(QHostAddress::LocalHost, 0);
        e.relayPort = QString::number(probe.serverPort());
    }
    const std::vector<SbdResult> results = SendAll(e, {{kImei, Record(0)}, {kImei, Record(1)}});
    ASSERT_EQ(results.size(), 2u);
    for (const SbdResult& r : results) {
        EXPECT_EQ(r.code, 500);
        EXPECT_TRUE(r.detail.contains(QStringLiteral("10061"))) << r.detail.toStdString();
    }
}

// A handler may run a nested event loop (the window's result box does); the client whose event
// it handles must survive it, also when the flow has just dropped that client's connection.
TEST(SbdSend, HandlersMayRunANestedLoop)
{
    ScriptedRelay relay("S: 220 relay ready\nC: MAIL FROM:<ops@example.org>\nS: 503 send HELO first\nX\n");
    const Endpoints e = RelayEndpoints(relay);
    const auto nestedLoop = [] {
        QEventLoop loop;
        QTimer::singleShot(30, &loop, &QEventLoop::quit);
        loop.exec();
    };
    const std::vector<SbdResult> results =
        SendAll(e, {{kImei, Record(0)}, {kImei, Record(1)}}, [&](std::size_t, const SbdResult&) { nestedLoop(); },
                [&](std::size_t) { nestedLoop(); });
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].code, 503);
    // The second message finds the relay gone and no one listening any more on a fresh try.
    EXPECT_NE(results[1].code, 0);
}

TEST(SbdSend, MalformedEndpointsSendNothing)
{
    Endpoints e;
    e.relayHost = QStringLiteral("127.0.0.1");
    e.relayPort = QStringLiteral("1");
    e.sender = QStringLiteral("ops@example.org\r\nBcc: someone@example.org");
    const std::vector<SbdResult> results = SendAll(e, {{kImei, Record(0)}});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, 500);
    EXPECT_TRUE(results[0].detail.startsWith(QStringLiteral("500 sender: address"))) << results[0].detail.toStdString();
}

namespace {

// A relay that keeps talking without ever finishing what the flow waits for: its greeting (or,
// with trickleAfterDot, its reply to ".") comes one continuation line at a time, every `every` ms.
class TricklingRelay : public QObject {
public:
    TricklingRelay(bool trickleAfterDot, int every) : afterDot_(trickleAfterDot)
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            conn_ = server_.nextPendingConnection();
            if (afterDot_)
                conn_->write("220 relay ready\r\n");
            else
                trickle_.start();
            QObject::connect(conn_, &QTcpSocket::readyRead, this, [this] { Read(); });
        });
        trickle_.setInterval(every);
        QObject::connect(&trickle_, &QTimer::timeout, this, [this] {
            if (conn_)
                conn_->write(afterDot_ ? "250-still writing it down\r\n" : "220-still waking up\r\n");
        });
    }
    quint16 Port() const { return server_.serverPort(); }

private:
    void Read()
    {
        while (conn_->canReadLine()) {
            const QByteArray line = conn_->readLine().trimmed();
            if (inData_) {
                if (line == ".") {
                    inData_ = false;
                    trickle_.start();
                }
                continue;
            }
            if (line.startsWith("DATA")) {
                inData_ = true;
                conn_->write("354 go on\r\n");
            } else if (line.startsWith("QUIT")) {
                conn_->write("221 bye\r\n");
            } else {
                conn_->write("250 ok\r\n");
            }
        }
    }

    bool afterDot_;
    bool inData_ = false;
    QTcpServer server_;
    QTcpSocket* conn_ = nullptr;
    QTimer trickle_;
};

} // namespace

// The deadline bounds each step whole, not only silences: a relay that trickles one line after
// another, each well within the deadline, still ends the send with 10060 once it has passed.
TEST(SbdSend, ATricklingRelayEndsAtTheDeadline)
{
    for (const bool afterDot : {false, true}) {
        SCOPED_TRACE(afterDot ? "trickling reply to the message's end" : "trickling greeting");
        TricklingRelay relay(afterDot, 200);
        Endpoints e;
        e.relayHost = QStringLiteral("127.0.0.1");
        e.relayPort = QString::number(relay.Port());
        e.sender = QStringLiteral("ops@example.org");
        e.gateway = QStringLiteral("data@sbd.example");
        e.timeoutSeconds = 1;
        QElapsedTimer clock;
        clock.start();
        const std::vector<SbdResult> results = SendAll(e, {{kImei, Record(0)}, {kImei, Record(1)}});
        ASSERT_EQ(results.size(), 2u);
        for (const SbdResult& r : results) {
            EXPECT_EQ(r.code, 10060);
            EXPECT_EQ(r.outcome, Outcome::ConnectionFailed);
        }
        EXPECT_TRUE(results[0].detail.contains(QStringLiteral("within 1 second"))) << results[0].detail.toStdString();
        EXPECT_LT(clock.elapsed(), 10000) << "the deadline did not hold";
        if (afterDot) // the message went out: its Message-ID is known though no answer came
            EXPECT_TRUE(results[0].detail.contains(QStringLiteral("mail transaction")));
    }
}

// One reconnection per message, whatever the relay does: one that greets and hangs up costs each
// message two connections, never more.
TEST(SbdSend, ARelayThatGreetsAndHangsUpGetsTwoConnectionsPerMessage)
{
    QString script = QStringLiteral("S: 220 hello\nX\n");
    for (int i = 1; i < 6; ++i)
        script += QStringLiteral("A\nS: 220 hello\nX\n");
    ScriptedRelay relay(script);
    Endpoints e = RelayEndpoints(relay);
    e.timeoutSeconds = 5;
    const std::vector<SbdResult> results = SendAll(e, {{kImei, Record(0)}, {kImei, Record(1)}, {kImei, Record(2)}});
    ASSERT_EQ(results.size(), 3u);
    for (const SbdResult& r : results) {
        EXPECT_NE(r.code, 0);
        EXPECT_EQ(r.outcome, Outcome::ConnectionFailed) << r.detail.toStdString();
    }
    WaitUntil([&] { return relay.Finished(); });
    EXPECT_EQ(relay.Connections(), 6);
}

// The fleet session of the tool: EHLO first (HELO when EHLO is refused), and a relay's limit of
// messages per session (a 4xx to MAIL after it took some) met with a new session where the device
// is tried once more.
TEST(SbdSend, FleetSessionGreetsAndRenewsAtTheRelaysLimit)
{
    const struct {
        const char* name;
        const char* script;
        std::vector<int> codes;
    } rows[] = {
        {"EHLO first", "S: 220 relay ready\nC~: ^EHLO \nS: 250-relay\nS: 250 PIPELINING\n" MAIL_ACCEPTED("250 ok") QUIT, {0}},
        {"EHLO refused: HELO",
         "S: 220 relay ready\nC~: ^EHLO \nS: 502 no\nC~: ^HELO \nS: 250 relay\n" MAIL_ACCEPTED("250 ok") QUIT, {0}},
        {"452 4.5.3 after one message: a new session for the second",
         "S: 220 relay ready\nC~: ^EHLO \nS: 250 relay\n" MAIL_ACCEPTED("250 first")
         "C: MAIL FROM:<ops@example.org>\nS: 452 4.5.3 Too many recipients: Too many messages sent\nC: QUIT\nS: 221 bye\nX\n"
         "A\nS: 220 relay ready\nC~: ^EHLO \nS: 250 relay\n" MAIL_ACCEPTED("250 second") QUIT,
         {0, 0}},
        {"452 on the very first message is the relay's answer",
         "S: 220 relay ready\nC~: ^EHLO \nS: 250 relay\nC: MAIL FROM:<ops@example.org>\nS: 452 4.3.1 full\n"
         "C: RSET\nS: 250 ok\n" MAIL_ACCEPTED("250 second") QUIT,
         {452, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedRelay relay(QString::fromLatin1(row.script));
        Endpoints e = RelayEndpoints(relay);
        e.timeoutSeconds = 5;
        std::vector<SbdMessage> messages;
        for (std::size_t i = 0; i < row.codes.size(); ++i)
            messages.push_back({kImei, Record(int(i))});
        SendOptions options;
        options.greetFirst = true;
        const std::vector<SbdResult> results = SendAll(e, messages, {}, {}, QuitReply::Await, options);
        std::vector<int> codes;
        for (const SbdResult& r : results)
            codes.push_back(r.code);
        EXPECT_EQ(codes, row.codes);
        if (codes.front() == 452)
            EXPECT_EQ(results.front().outcome, Outcome::Refused);
        EXPECT_TRUE(relay.Finished()) << relay.Where().toStdString();
        EXPECT_EQ(relay.Unexpected().join(" | ").toStdString(), "");
    }
}

namespace {

// A link of the test's: answers each message after its scripted delay with its scripted code,
// and counts how many it held at once.
class FakeLink : public Link {
public:
    struct Row {
        int delayMs;
        int code; // -1: never answers
    };
    FakeLink(std::vector<Row> rows, int parallel) : rows_(std::move(rows)), parallel_(parallel) {}
    int Parallel() const override { return parallel_; }
    void Open(std::function<void(int, const QString&)> done) override
    {
        QTimer::singleShot(0, [done] { done(0, QString()); });
    }
    void Send(std::size_t index, const SbdMessage&, Answer done) override
    {
        order.push_back(index);
        ++held;
        maxHeld = std::max(maxHeld, held);
        const Row row = rows_.at(index);
        if (row.code < 0)
            return;
        QTimer::singleShot(row.delayMs, [this, done, row, gen = generation_] {
            if (gen != generation_)
                return;
            --held;
            SbdResult r;
            r.code = row.code;
            r.detail = QString::number(row.code);
            r.reference = QStringLiteral("ref");
            r.outcome = row.code == 0 ? Outcome::Accepted : Outcome::Refused;
            done(r);
        });
    }
    void Close(std::function<void()> done) override { QTimer::singleShot(0, done); }
    void Abort() override { ++generation_; }
    QString PeerName() const override { return QStringLiteral("the fake"); }
    QString Waiting() const override { return QString(); }

    std::vector<std::size_t> order;
    int held = 0;
    int maxHeld = 0;

private:
    std::vector<Row> rows_;
    int parallel_;
    int generation_ = 0;
};

} // namespace

// The flow over a link that takes four at once: answers come out of order, results in order, never
// more than four held, starts announced before each is given; a message that is never answered
// ends the run with 10060 for it and every message without an answer by then.
TEST(SbdSend, FlowOverAFakeLinkKeepsOrderAndBound)
{
    const struct {
        const char* name;
        std::vector<FakeLink::Row> rows;
        std::vector<int> codes;
    } cases[] = {
        {"out of order answers",
         {{80, 0}, {10, 1002}, {40, 0}, {5, 0}, {30, 1005}, {1, 0}, {60, 0}, {2, 0}, {20, 0}},
         {0, 1002, 0, 0, 1005, 0, 0, 0, 0}},
        {"one never answers: the others' answers stand", {{5, 0}, {-1, -1}, {5, 0}, {5, 0}, {5, 0}, {5, 0}},
         {0, 10060, 0, 0, 0, 0}},
        {"four never answer: the run ends at the deadline, the rest not tried",
         {{5, 0}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {5, 0}, {5, 0}},
         {0, 10060, 10060, 10060, 10060, 10060, 10060}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Endpoints e;
        e.sender = QStringLiteral("ops@example.org");
        e.gateway = QStringLiteral("data@sbd.example");
        e.timeoutSeconds = 1;
        auto owned = std::make_unique<FakeLink>(c.rows, 4);
        FakeLink& link = *owned;
        SbdSend flow(std::move(owned), e.timeoutSeconds);
        std::vector<std::size_t> starts;
        std::vector<std::size_t> dones;
        std::vector<int> codes;
        bool finished = false;
        flow.OnMessageStart = [&](std::size_t i) { starts.push_back(i); };
        flow.OnMessageDone = [&](std::size_t i, const SbdResult& r) {
            EXPECT_LT(std::find(starts.begin(), starts.end(), i), starts.end()) << "done before start: " << i;
            dones.push_back(i);
            codes.push_back(r.code);
        };
        flow.OnFinished = [&] { finished = true; };
        std::vector<SbdMessage> messages(c.rows.size(), SbdMessage{kImei, Record(0)});
        flow.Start(messages);
        WaitUntil([&] { return finished; });
        EXPECT_TRUE(finished);
        EXPECT_EQ(codes, c.codes);
        std::vector<std::size_t> inOrder(c.rows.size());
        std::iota(inOrder.begin(), inOrder.end(), 0);
        EXPECT_EQ(dones, inOrder);
        EXPECT_LE(link.maxHeld, 4);
        EXPECT_GE(link.maxHeld, 2);
    }
}
