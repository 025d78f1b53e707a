// SPDX-License-Identifier: Apache-2.0
// The one send flow against scripted relays: each row is a whole conversation, with the result
// every message gets.
#include "mail/sbd_send.h"
#include "smtp/scripted_relay.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

using namespace kestravo;
using namespace kestravo::mail;
using namespace kestravo::mail::test;

namespace {

TConfigRecord Record(int seed)
{
    TConfigRecord r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = std::uint8_t(i * 37 + seed);
    return r;
}

QByteArray Bytes(const TConfigRecord& r) { return QByteArray(reinterpret_cast<const char*>(r.data()), qsizetype(r.size())); }

// The base64 attachment temp.sbd of the n-th message the relay gathered, decoded.
QByteArray Attachment(const QList<QByteArray>& lines, int n)
{
    qsizetype i = 0;
    for (int seen = -1; i < lines.size(); ++i) {
        if (lines[i].contains("filename=\"temp.sbd\"") && ++seen == n)
            break;
    }
    while (i < lines.size() && !lines[i].isEmpty())
        ++i;
    QByteArray base64;
    for (++i; i < lines.size() && !lines[i].isEmpty() && !lines[i].startsWith("--"); ++i)
        base64 += lines[i];
    return QByteArray::fromBase64(base64);
}

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
    {"never greets: 10060", "", 2, {10060, 10060}, {"did not answer for 1 second ", "10060"}},
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
            EXPECT_TRUE(results[i].reply.contains(QLatin1String(t.replies[i])))
                << i << ": " << results[i].reply.toStdString();
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
            EXPECT_TRUE(results[i].messageId.contains(u'@')) << results[i].messageId.toStdString();
            EXPECT_TRUE(relay.MessageLines().contains("Message-ID: <" + results[i].messageId.toLatin1() + ">"));
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
    EXPECT_TRUE(results[0].reply.contains(QStringLiteral("queued as Q1")));
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
    EXPECT_TRUE(results[0].messageId.isEmpty());
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
        EXPECT_TRUE(r.reply.contains(QStringLiteral("10061"))) << r.reply.toStdString();
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
    EXPECT_TRUE(results[0].reply.startsWith(QStringLiteral("500 sender: address"))) << results[0].reply.toStdString();
}
