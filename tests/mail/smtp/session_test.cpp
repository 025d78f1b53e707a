// SPDX-License-Identifier: Apache-2.0
// The session against a scripted relay on loopback: each case reads as the conversation.
#include "smtp_test_support.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QTcpServer>
#include <QThread>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>

using namespace kestravo::mail;
using namespace kestravo::mail::test;
using namespace kestravo::testkit;

namespace {

const char* const kGreeting = "S: 220 relay.example ready\n";

void PointAt(TCustomSmtpClient& c, const ScriptedRelay& relay)
{
    c.SetHost(QStringLiteral("127.0.0.1"));
    c.SetPort(QString::number(relay.Port()));
}

void SetEnvelope(TCustomSmtpClient& c)
{
    c.SetFromName(QStringLiteral("operator@example.org"));
    c.RcptName().clear();
    c.RcptName().append(QStringLiteral("data@sbd.iridium.com"));
    c.SetHdrFrom(QStringLiteral("operator@example.org"));
    c.SetHdrTo(QStringLiteral("data@sbd.iridium.com"));
    c.SetHdrSubject(QStringLiteral("300234010123450"));
}

void NoMoreText(TCustomSmtpClient& c)
{
    c.OnGetData = [](TCustomSmtpClient*, int, char*, int, bool& more) { more = false; };
}

// Connects and waits for the greeting to be judged.
void ConnectTo(TCustomSmtpClient& c, const ScriptedRelay& relay, EventLog& log)
{
    PointAt(c, relay);
    c.Connect();
    ASSERT_TRUE(log.WaitDone()) << relay.Where();
    ASSERT_EQ(log.events.last(), "done CONNECT 0") << log.events.join(" | ").toStdString();
}

// A client with its events logged, and the relay it talks to playing a script. A test takes
// the three apart at its top (auto& [relay, c, log] = session) and reads as the conversation.
struct RelaySession {
    explicit RelaySession(const QString& script) : relay(script) { log.Attach(c); }

    // The relay outlives the client, which may still close towards it as it goes.
    ScriptedRelay relay;
    TSmtpCli c;
    EventLog log;
};

int CountPrefixed(const QStringList& l, const QString& prefix)
{
    int n = 0;
    for (const QString& s : l)
        n += s.startsWith(prefix);
    return n;
}

} // namespace

TEST(SmtpSession, GreetingInTwoPiecesIsOneReplyLine)
{
    RelaySession session("S+: 220 rel\nS: ay ready\n");
    auto& [relay, c, log] = session;
    PointAt(c, relay);
    c.Connect();
    EXPECT_TRUE(log.events.isEmpty()) << "the request must end through the queue";
    ASSERT_TRUE(log.WaitDone());
    EXPECT_EQ(log.events, QStringList({"connected 0", "done CONNECT 0"}));
    EXPECT_EQ(log.displays, QStringList({"< 220 relay ready"}));
    EXPECT_EQ(c.LastResponse(), "220 relay ready");
    EXPECT_EQ(c.State(), smtpReady);
    EXPECT_TRUE(relay.Finished());
}

// Only complete lines are handed to OnResponse: bytes that trickle in without completing a line
// are no reply, and a deadline counting OnResponse as progress is not held off by them.
TEST(SmtpSession, ResponsesAreCompleteLinesOnly)
{
    RelaySession session("S+: 220-re\nS+: lay\\r\\n\nS+: 220 rea\nS+: dy\\r\\n\n");
    auto& [relay, c, log] = session;
    QStringList responses;
    c.OnResponse = [&](TCustomSmtpClient*, const QString& line) {
        responses << line + (SmtpReplyLineEndsReply(line) ? " (ends)" : " (goes on)");
    };
    ConnectTo(c, relay, log);
    EXPECT_EQ(responses, QStringList({"220-relay (goes on)", "220 ready (ends)"}));
}

TEST(SmtpSession, MultiLineGreetingEndsTheConnectOnceAfterItsLastLine)
{
    RelaySession session("S: 220-relay.example\nS: 220-second line\nS: 220 third line\n"
                         "C: QUIT\nS: 221 bye\nX\n");
    auto& [relay, c, log] = session;
    ConnectTo(c, relay, log);
    c.Quit();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
    EXPECT_EQ(log.events, QStringList({"connected 0", "done CONNECT 0", "closed 0", "done QUIT 0"}));
    EXPECT_EQ(CountPrefixed(log.displays, "< 220"), 3);
    EXPECT_TRUE(relay.Finished());
    EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ").toStdString();
}

// The exchange of the system, with a two-line reply to MAIL FROM, a 251 to RCPT TO, body lines
// that need dot-stuffing, and a QUIT that stays open after 221 until the relay closes.
TEST(SmtpSession, MailExchangeStuffsDotsAndQuitWaitsForTheClose)
{
    RelaySession session(QString(kGreeting) +
                         "C: MAIL FROM:<operator@example.org>\n"
                         "S: 250-sender\nS: 250 ok\n"
                         "C: RCPT TO:<data@sbd.iridium.com>\n"
                         "S: 251 will forward\n"
                         "C: DATA\nS: 354 go ahead\n"
                         "M\n"
                         "S: 250 queued\n"
                         "C: QUIT\nS: 221 bye\n");
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    c.SetFromName(QStringLiteral("Operator <operator@example.org>"));
    const QList<QByteArray> body = {".", ".hidden", "plain", "a\r\n.b"};
    c.OnGetData = [&](TCustomSmtpClient*, int lineNum, char* buf, int maxLen, bool& more) {
        if (lineNum > body.size()) {
            more = false;
            return;
        }
        qstrncpy(buf, body[lineNum - 1].constData(), size_t(maxLen));
    };
    int linesSent = 0;
    c.OnMessageDataSent = [&](TCustomSmtpClient*, int) { ++linesSent; };
    ConnectTo(c, relay, log);
    c.Mail();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
    EXPECT_EQ(log.events.last(), "done Mail 0");
    ASSERT_TRUE(relay.MessageEnded());

    const QList<QByteArray> lines = relay.MessageLines();
    const qsizetype blank = lines.indexOf(QByteArray());
    ASSERT_GT(blank, 0);
    EXPECT_EQ(lines.mid(blank + 1), QList<QByteArray>({"..", "..hidden", "plain", "a", "..b"}));
    EXPECT_TRUE(lines.first().startsWith("From: operator@example.org"));
    // One completion per line handed over: every header line (the Content-Type line is one),
    // the empty line, four body lines.
    EXPECT_EQ(linesSent, c.HeaderLines().Lines.size() + 4);

    c.Quit();
    ASSERT_TRUE(WaitUntil([&] { return log.displays.contains("< 221 bye"); }));
    EXPECT_EQ(log.done, 2) << "an accepted QUIT ends only when the relay closes";
    EXPECT_EQ(c.State(), smtpWaitingResponse);
    relay.CloseClient();
    ASSERT_TRUE(log.WaitDone(3));
    EXPECT_EQ(log.events.mid(log.events.size() - 2), QStringList({"closed 0", "done QUIT 0"}));
    EXPECT_EQ(c.State(), smtpReady);
    EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ").toStdString();
}

// A relay that says more after accepting the message: the 250 that judged it (with the relay's
// queue ID) stays the request's reply, whatever follows before the next request.
TEST(SmtpSession, RequestResponseKeepsTheReplyThatJudgedTheRequest)
{
    RelaySession session(QString(kGreeting) +
                         "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 354 go\nM\n"
                         "S: 250 2.0.0 queued as 4F2A\nS: 421 4.3.2 shutting down\nX\n");
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    NoMoreText(c);
    ConnectTo(c, relay, log);
    c.Mail();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
    EXPECT_EQ(log.events.last(), "done Mail 0");
    ASSERT_TRUE(WaitUntil([&] { return c.Socket()->State() == wsClosed; }));
    EXPECT_EQ(c.LastResponse(), "421 4.3.2 shutting down");
    EXPECT_EQ(c.RequestResponse(), "250 2.0.0 queued as 4F2A");
    EXPECT_EQ(log.done, 2) << log.events.join(" | ");
}

struct ReplyCase {
    const char* name;
    QString script; // after the greeting
    QStringList recipients;
    QString fromName;
    bool quit; // issue Quit instead of Mail
    QString event;
    QString errorMessage;
    QStringList rcptErrors;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class SmtpReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(SmtpReplies, EndTheRequestWithTheRightCode)
{
    const ReplyCase& rc = GetParam();
    RelaySession session(QString(kGreeting) + rc.script);
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    NoMoreText(c);
    if (!rc.recipients.isEmpty())
        c.SetRcptName(rc.recipients);
    if (!rc.fromName.isEmpty())
        c.SetFromName(rc.fromName);
    QStringList rcptErrors;
    c.OnRcptToError = [&](TCustomSmtpClient*, std::uint16_t code, int idx, TSmtpRcptToErrorAction& action) {
        rcptErrors << QStringLiteral("%1 %2").arg(code).arg(idx);
        action = srteIgnore;
    };
    ConnectTo(c, relay, log);
    if (rc.quit)
        c.Quit();
    else
        c.Mail();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where().toStdString();
    EXPECT_EQ(log.events.last(), rc.event) << log.events.join(" | ").toStdString();
    EXPECT_EQ(c.ErrorMessage(), rc.errorMessage);
    EXPECT_EQ(rcptErrors, rc.rcptErrors);
    EXPECT_EQ(c.State(), smtpReady);
    EXPECT_TRUE(relay.Finished()) << relay.Where().toStdString();
    EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpReplies,
    ::testing::Values(
        ReplyCase{"rcpt_252_is_refused",
                  "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 252 cannot verify\n",
                  {}, {}, false, "done Mail 252", "252 cannot verify", {}},
        ReplyCase{"data_554_sends_no_message_line",
                  "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 554 no thanks\n",
                  {}, {}, false, "done Mail 554", "554 no thanks", {}},
        // Lines ended by a bare LF are lines all the same, read as the relay meant them.
        ReplyCase{"bare_lf_ends_a_reply_line",
                  "C: MAIL FROM:<operator@example.org>\nS+: 250-sender\\n\nS+: 250 ok\\n\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS+: 554 no\\n\n",
                  {}, {}, false, "done Mail 554", "554 no", {}},
        // A code alone, with nothing after it, is a whole reply line.
        ReplyCase{"code_without_text_is_a_reply",
                  "C: MAIL FROM:<operator@example.org>\nS: 250\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 550\n",
                  {}, {}, false, "done Mail 550", "550", {}},
        ReplyCase{"relay_closes_during_message_lines",
                  "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 354 go\nC: *\nX\n",
                  {}, {}, false, "done Mail 10004", "10004 Connection closed by the relay", {}},
        ReplyCase{"ignored_first_recipient_second_decides",
                  "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                  "C: RCPT TO:<first@example.org>\nS: 550 no such user\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 554 no thanks\n",
                  {"first@example.org", "data@sbd.iridium.com"}, {}, false, "done Mail 554",
                  "550 no such user", {"550 0"}},
        ReplyCase{"crlf_in_sender_stays_inside_one_command",
                  "C: MAIL FROM:<op@example.org>  RSET>\nS: 501 bad address\n",
                  {}, "op@example.org>\r\nRSET", false, "done Mail 501", "501 bad address", {}},
        // The longest line the reply buffer takes: 4093 characters before its CR LF.
        ReplyCase{"reply_line_of_4093_characters_is_read",
                  "C: MAIL FROM:<operator@example.org>\nS: 250 " + QString(4089, u'x') + "\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 554 no\n",
                  {}, {}, false, "done Mail 554", "554 no", {}},
        ReplyCase{"service_closing_421_ends_the_mail_request",
                  "C: MAIL FROM:<operator@example.org>\nS: 421 closing channel\n",
                  {}, {}, false, "done Mail 421", "421 closing channel", {}},
        ReplyCase{"mail_from_answered_354_is_refused",
                  "C: MAIL FROM:<operator@example.org>\nS: 354 go ahead\n",
                  {}, {}, false, "done Mail 354", "354 go ahead", {}},
        ReplyCase{"data_answered_250_sends_no_message_line",
                  "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 250 sure\n",
                  {}, {}, false, "done Mail 250", "250 sure", {}},
        // "550 Нет такого ящика" as a Russian relay writes it, in windows-1251.
        ReplyCase{"reply_text_is_read_in_the_system_code_page",
                  "C: MAIL FROM:<operator@example.org>\nS: " +
                      QString::fromLatin1("550 \xcd\xe5\xf2 \xf2\xe0\xea\xee\xe3\xee \xff\xf9\xe8\xea\xe0") + "\n",
                  {}, {}, false, "done Mail 550", QString::fromUtf8("550 Нет такого ящика"), {}},
        // 65536 would wrap to 0 in the 16-bit result and report the refused message as sent.
        ReplyCase{"reply_number_beyond_three_digits_at_the_end_of_data_is_a_protocol_error",
                  "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                  "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 354 go\nM\nS: 65536 rejected\n",
                  {}, {}, false, "done Mail 20600", "SMTP protocol error: not an SMTP reply line: \"65536 rejected\"", {}},
        ReplyCase{"refused_quit_ends_with_its_code",
                  "C: QUIT\nS: 502 not now\n", {}, {}, true, "done QUIT 502", "502 not now", {}}),
    [](const ::testing::TestParamInfo<ReplyCase>& i) { return std::string(i.param.name); });

TEST(SmtpSession, GreetingRefusedClosesAndEndsWith10004)
{
    RelaySession session("S: 554 go away\n");
    auto& [relay, c, log] = session;
    PointAt(c, relay);
    c.Connect();
    ASSERT_TRUE(log.WaitDone());
    EXPECT_EQ(log.events, QStringList({"closed 0", "done CONNECT 10004"}));
    EXPECT_EQ(c.ErrorMessage(), "554 go away");
    EXPECT_TRUE(WaitUntil([&] { return relay.ClientClosed(); }));
}

// The greeting is read by the same rules: a bare LF ends it, a malformed one never opens the
// session (F21) and drops the connection with the protocol error.
TEST(SmtpSession, GreetingIsReadAsAReplyLine)
{
    const struct {
        const char* script;
        const char* event;
        const char* errorMessage;
    } cases[] = {
        {"S+: 220-relay.example\\n\nS+: 220 ready\\n\n", "done CONNECT 0", ""},
        {"S: -220 ready\n", "done CONNECT 20600", "SMTP protocol error: not an SMTP reply line: \"-220 ready\""},
        {"S: 22 ready\n", "done CONNECT 20600", "SMTP protocol error: not an SMTP reply line: \"22 ready\""},
        {"S: 554-go away\nS: 220 ready\n", "done CONNECT 20600",
         "SMTP protocol error: a reply line with code 220 continues a reply with code 554: \"220 ready\""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.script);
        RelaySession session(k.script);
        auto& [relay, c, log] = session;
        PointAt(c, relay);
        c.Connect();
        ASSERT_TRUE(log.WaitDone()) << relay.Where();
        EXPECT_EQ(log.events.last(), k.event) << log.events.join(" | ");
        EXPECT_EQ(c.ErrorMessage(), k.errorMessage);
        EXPECT_EQ(c.State(), smtpReady);
        if (QString(k.event).endsWith(" 0")) {
            EXPECT_EQ(log.displays, QStringList({"< 220-relay.example", "< 220 ready"}));
        } else {
            EXPECT_FALSE(log.events.contains("connected 0"));
            EXPECT_TRUE(WaitUntil([&] { return relay.ClientClosed(); }));
        }
    }
}

TEST(SmtpSession, QuitAndMailWithoutConnectionEndThroughTheQueue)
{
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    SetEnvelope(c);
    c.Quit();
    EXPECT_EQ(log.done, 0);
    ASSERT_TRUE(log.WaitDone());
    c.Mail();
    EXPECT_EQ(log.done, 1);
    ASSERT_TRUE(log.WaitDone(2));
    EXPECT_EQ(log.events, QStringList({"done QUIT 0", "done Mail 500"}));
    EXPECT_EQ(c.ErrorMessage(), "500 Internal client error SmtpException: \"SMTP component not connected\"");
    EXPECT_EQ(c.State(), smtpReady);
}

TEST(SmtpSession, RefusedConnection)
{
    quint16 port;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    c.SetHost(QStringLiteral("127.0.0.1"));
    c.SetPort(QString::number(port));
    c.Connect();
    ASSERT_TRUE(log.WaitDone());
    EXPECT_EQ(log.events, QStringList({"connected 10061", "closed 0", "done CONNECT 10061"}));
    EXPECT_EQ(c.LastResponse(), QStringLiteral("500 Connect error - Winsock - Connection refused: 127.0.0.1:%1 (#10061)").arg(port));
    EXPECT_EQ(c.State(), smtpReady);
}

// The relay is reached on whichever of its addresses answers, IPv6 or IPv4, with the texts of
// a failure naming it as the operator wrote it.
TEST(SmtpSession, RelayOnEitherFamilyIsReached)
{
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHostIPv6, 0))
            GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
    }
    const struct {
        const char* name;
        const char* host;
        QStringList resolved; // what the name resolves to
        QHostAddress::SpecialAddress listen;
    } rows[] = {
        {"ipv6 address", "::1", {}, QHostAddress::LocalHostIPv6},
        {"name, ipv6 refused, ipv4 answers", "relay.test", {"::1", "127.0.0.1"}, QHostAddress::LocalHost},
        {"name, ipv4 refused, ipv6 answers", "relay.test", {"127.0.0.1", "::1"}, QHostAddress::LocalHostIPv6},
        // The system's resolver: localhost is the loopback of both families.
        {"localhost listening on ipv4", "localhost", {}, QHostAddress::LocalHost},
        {"localhost listening on ipv6 alone", "localhost", {}, QHostAddress::LocalHostIPv6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QStringList resolved = row.resolved;
        if (!resolved.isEmpty())
            TWSocket::SetNameResolver([resolved](const QString&, int& err) {
                err = 0;
                return resolved;
            });
        ScriptedRelay relay(QString(kGreeting) + "C: QUIT\nS: 221 bye\nX\n", QHostAddress(row.listen));
        ASSERT_TRUE(relay.Listening());
        TSmtpCli c;
        EventLog log;
        log.Attach(c);
        c.SetHost(QString::fromLatin1(row.host));
        c.SetPort(QString::number(relay.Port()));
        c.Connect();
        ASSERT_TRUE(log.WaitDone()) << relay.Where();
        EXPECT_EQ(log.events.last(), "done CONNECT 0") << c.LastResponse();
        c.Quit();
        ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
        EXPECT_EQ(log.events.last(), "done QUIT 0");
        EXPECT_TRUE(relay.Finished());
        TWSocket::SetNameResolver(nullptr);
    }

    // Refused on every address: the text names the relay, an IPv6 address in brackets.
    const int port = [] {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHostIPv6, 0);
        return int(probe.serverPort());
    }();
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    c.SetHost(QStringLiteral("::1"));
    c.SetPort(QString::number(port));
    c.Connect();
    ASSERT_TRUE(log.WaitDone());
    EXPECT_EQ(log.events, QStringList({"connected 10061", "closed 0", "done CONNECT 10061"}));
    EXPECT_EQ(c.LastResponse(), QStringLiteral("500 Connect error - Winsock - Connection refused: [::1]:%1 (#10061)").arg(port));
}

TEST(SmtpSession, UnknownHost)
{
    TWSocket::SetNameResolver([](const QString&, int& err) {
        err = 11001;
        return QStringList();
    });
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    c.SetHost(QStringLiteral("relay.invalid"));
    c.SetPort(QStringLiteral("25"));
    c.Connect();
    const bool done = log.WaitDone();
    TWSocket::SetNameResolver(nullptr);
    ASSERT_TRUE(done);
    EXPECT_EQ(log.events, QStringList({"connected 11001", "closed 11001", "done CONNECT 11001"}));
    EXPECT_EQ(c.LastResponse(), "500 Host not found: relay.invalid:25 (Winsock error #11001)");
    EXPECT_EQ(c.State(), smtpReady);
}

// A dotted host resolves inside Connect, and a socket that refuses to connect at once still
// ends the request only through the queue, and never with 0.
TEST(SmtpSession, DottedHostFailureEndsThroughTheQueue)
{
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    c.SetHost(QStringLiteral("127.0.0.1"));
    c.SetPort(QStringLiteral("no-such-service-kestravo"));
    c.Connect();
    EXPECT_TRUE(log.events.isEmpty());
    ASSERT_TRUE(log.WaitDone());
    EXPECT_EQ(log.lastRq, smtpConnect);
    EXPECT_NE(log.lastCode, 0);
    EXPECT_TRUE(c.LastResponse().startsWith("500 ESocketException: ")) << c.LastResponse().toStdString();
    EXPECT_EQ(c.State(), smtpReady);
}

TEST(SmtpSession, LookupRefusalLeavesTheClientReady)
{
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    c.SetHost(QString());
    try {
        c.Connect();
        FAIL() << "an empty host must be refused";
    } catch (const EVyrError& e) {
        EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
    }
    EXPECT_EQ(c.State(), smtpReady);
    c.Quit(); // would be refused as not ready if the lookup state stuck
    ASSERT_TRUE(log.WaitDone());
    EXPECT_EQ(log.events, QStringList({"done QUIT 0"}));
}

TEST(SmtpSession, RequestsFromOutsideAreRefusedWhileMessageLinesGoOut)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "temp.sbd", QByteArray(5000, 'k'));
    RelaySession session(QString(kGreeting) +
                         "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 354 go\nM\nS: 250 queued\n");
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    NoMoreText(c);
    c.SetEmailFiles({path});
    int refusals = 0;
    QStringList accepted;
    c.OnMessageDataSent = [&](TCustomSmtpClient* s, int) {
        const std::pair<const char*, void (TCustomSmtpClient::*)()> requests[] = {
            {"Quit", &TCustomSmtpClient::Quit}, {"Mail", &TCustomSmtpClient::Mail},
            {"Rset", &TCustomSmtpClient::Rset}, {"Data", &TCustomSmtpClient::Data}};
        for (const auto& [name, request] : requests) {
            try {
                (s->*request)();
                accepted << name;
            } catch (const SmtpException& e) {
                EXPECT_STREQ(e.what(), "SMTP component not ready");
                ++refusals;
            }
        }
    };
    ConnectTo(c, relay, log);
    c.Mail();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where().toStdString();
    EXPECT_EQ(log.events.last(), "done Mail 0");
    EXPECT_TRUE(accepted.isEmpty()) << accepted.join(",").toStdString();
    EXPECT_GT(refusals, 0);
    EXPECT_TRUE(relay.MessageEnded());
    for (const QByteArray& l : relay.MessageLines())
        EXPECT_FALSE(l == "QUIT" || l == "RSET" || l == "DATA" || l.startsWith("MAIL FROM")) << l.constData();
    EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ").toStdString();
}

struct FaultCase {
    const char* name;
    QString reply;
    QString text;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class SmtpUnreadableReply : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SmtpUnreadableReply, EndsTheRequestAndDropsTheConnection)
{
    const FaultCase& fc = GetParam();
    RelaySession session(QString(kGreeting) + "C: MAIL FROM:<operator@example.org>\n" + fc.reply + "\n");
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    ConnectTo(c, relay, log);
    c.Mail();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where().toStdString();
    EXPECT_EQ(log.events.last(), "done Mail 20600");
    EXPECT_EQ(c.ErrorMessage(), fc.text);
    EXPECT_EQ(c.LastResponse(), fc.text);
    EXPECT_EQ(c.State(), smtpReady);
    EXPECT_TRUE(WaitUntil([&] { return relay.ClientClosed(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpUnreadableReply,
    ::testing::Values(
        FaultCase{"line_longer_than_the_reply_buffer", "S+: 250 " + QString(5000, u'x'),
                  "SMTP protocol error: reply line longer than 4093 characters"},
        FaultCase{"zero_byte_in_reply", "S: 250 o\\0k",
                  "SMTP protocol error: the reply holds a zero byte"},
        // The accepted MAIL FROM stands and RCPT TO goes out; the zero byte behind it then ends
        // the request, in whatever pieces the two arrive.
        FaultCase{"zero_byte_after_an_acceptance", "S: 250 ok\\r\\n\\0",
                  "SMTP protocol error: the reply holds a zero byte"},
        // F21: a malformed reply taken as acceptance. Each of these was read as 250 (or as 25)
        // and let the message go on; a reply line is three digits, the first 2 to 5, then a
        // space, a hyphen or the end of the line, and a multi-line reply keeps its code.
        FaultCase{"minus_before_the_code", "S: -250 ok", "SMTP protocol error: not an SMTP reply line: \"-250 ok\""},
        FaultCase{"plus_before_the_code", "S: +250 ok", "SMTP protocol error: not an SMTP reply line: \"+250 ok\""},
        FaultCase{"blank_before_the_code", "S:  250 ok", "SMTP protocol error: not an SMTP reply line: \" 250 ok\""},
        FaultCase{"zero_before_the_code", "S: 0250 ok", "SMTP protocol error: not an SMTP reply line: \"0250 ok\""},
        FaultCase{"two_digits", "S: 25 ok", "SMTP protocol error: not an SMTP reply line: \"25 ok\""},
        FaultCase{"four_digits", "S: 2500 ok", "SMTP protocol error: not an SMTP reply line: \"2500 ok\""},
        FaultCase{"six_digits", "S: 131322 rejected",
                  "SMTP protocol error: not an SMTP reply line: \"131322 rejected\""},
        FaultCase{"text_right_after_the_code", "S: 250ok", "SMTP protocol error: not an SMTP reply line: \"250ok\""},
        FaultCase{"first_digit_below_two", "S: 150 ok", "SMTP protocol error: not an SMTP reply line: \"150 ok\""},
        FaultCase{"first_digit_above_five", "S: 650 ok", "SMTP protocol error: not an SMTP reply line: \"650 ok\""},
        FaultCase{"no_number", "S: OK", "SMTP protocol error: not an SMTP reply line: \"OK\""},
        FaultCase{"empty_line", "S+: \\r\\n", "SMTP protocol error: not an SMTP reply line: \"\""},
        FaultCase{"refusal_ending_with_an_acceptance", "S: 550-no such user\nS: 250 ok",
                  "SMTP protocol error: a reply line with code 250 continues a reply with code 550: \"250 ok\""},
        FaultCase{"continuation_changes_its_code", "S: 250-first\nS: 550-second\nS: 250 ok",
                  "SMTP protocol error: a reply line with code 550 continues a reply with code 250: \"550-second\""},
        FaultCase{"malformed_continuation", "S: 250-first\nS: x250 ok",
                  "SMTP protocol error: not an SMTP reply line: \"x250 ok\""},
        // The relay's line is quoted with its control characters written out.
        FaultCase{"control_characters_are_quoted_escaped", "S: 250\\tok\\r\x1b[2J\"q\"",
                  "SMTP protocol error: not an SMTP reply line: \"250\\tok\\r\\x1b[2J\\\"q\\\"\""}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

// However the mail request ends, the attached file is closed by then.
struct AttachmentCase {
    const char* name;
    QString script; // after DATA
    enum { None, AbortWhenOpen, DestroyWhenOpen, RemoveFirst } action;
    QString event; // empty: the client is destroyed
    bool messageEnded;
};

void PrintTo(const AttachmentCase& c, std::ostream* os) { *os << c.name; }

class SmtpAttachmentHandle : public ::testing::TestWithParam<AttachmentCase> {};

TEST_P(SmtpAttachmentHandle, IsClosedWhenTheRequestEnds)
{
    const AttachmentCase& ac = GetParam();
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "big.sbd", QByteArray(20000, 'r'));
    ScriptedRelay relay(QString(kGreeting) +
                        "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                        "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\n" + ac.script);
    auto c = std::make_unique<TSmtpCli>();
    EventLog log;
    log.Attach(*c);
    SetEnvelope(*c);
    NoMoreText(*c);
    c->SetEmailFiles({path});
    bool aborted = false;
    int handlesBefore = -1, handlesAfter = -1;
    if (ac.action == AttachmentCase::DestroyWhenOpen) {
        // The client goes away from the event loop while it holds the file open.
        c->OnMessageDataSent = [&](TCustomSmtpClient* s, int) {
            if (!aborted && static_cast<TSmtpCli*>(s)->AttachmentOpen()) {
                aborted = true;
                QMetaObject::invokeMethod(&relay, [&] {
                    handlesBefore = OpenHandlesTo(path);
                    c.reset();
                    handlesAfter = OpenHandlesTo(path);
                }, Qt::QueuedConnection);
            }
        };
    }
    if (ac.action == AttachmentCase::AbortWhenOpen) {
        c->OnMessageDataSent = [&](TCustomSmtpClient* s, int) {
            if (!aborted && static_cast<TSmtpCli*>(s)->AttachmentOpen()) {
                aborted = true;
                s->Abort();
            }
        };
    }
    ConnectTo(*c, relay, log);
    if (ac.action == AttachmentCase::RemoveFirst)
        QFile::remove(path);
    c->Mail();
    if (ac.action == AttachmentCase::DestroyWhenOpen) {
        ASSERT_TRUE(WaitUntil([&] { return c == nullptr; }));
        EXPECT_EQ(handlesBefore, 1);
        EXPECT_EQ(handlesAfter, 0);
        EXPECT_EQ(log.done, 1) << "a destroyed client reports nothing more";
        EXPECT_TRUE(WaitUntil([&] { return relay.ClientClosed(); }));
        return;
    }
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where().toStdString();
    EXPECT_EQ(log.events.last(), ac.event) << log.events.join(" | ").toStdString();
    EXPECT_FALSE(c->AttachmentOpen());
    if (ac.action != AttachmentCase::RemoveFirst) {
        EXPECT_EQ(OpenHandlesTo(path), 0);
    }
    EXPECT_EQ(relay.MessageEnded(), ac.messageEnded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpAttachmentHandle,
    ::testing::Values(
        AttachmentCase{"success", "S: 354 go\nM\nS: 250 queued\n", AttachmentCase::None, "done Mail 0", true},
        AttachmentCase{"relay_closes_mid_message", "S: 354 go\nC~: ^[A-Za-z0-9+/]{76}$\nX\n",
                       AttachmentCase::None, "done Mail 10004", false},
        AttachmentCase{"abort", "S: 354 go\nM\n", AttachmentCase::AbortWhenOpen, "done Mail 426", false},
        AttachmentCase{"data_refused", "S: 554 no\n", AttachmentCase::None, "done Mail 554", false},
        AttachmentCase{"client_destroyed", "S: 354 go\nM\n", AttachmentCase::DestroyWhenOpen, "", false},
        // The file vanished before it could be read: the message is not finished with "." and
        // the request fails instead of reporting success.
        AttachmentCase{"unreadable_attachment_fails_the_request", "S: 354 go\nM\n", AttachmentCase::RemoveFirst,
                       "done Mail 500", false}),
    [](const ::testing::TestParamInfo<AttachmentCase>& i) { return std::string(i.param.name); });

TEST(SmtpSession, AbortInsideMailReportsOperationAborted)
{
    RelaySession session(QString(kGreeting) + "C: MAIL FROM:<operator@example.org>\n");
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    ConnectTo(c, relay, log);
    c.Mail();
    ASSERT_TRUE(WaitUntil([&] { return relay.Finished(); }));
    c.Abort();
    EXPECT_EQ(c.State(), smtpReady);
    ASSERT_TRUE(log.WaitDone(2));
    EXPECT_EQ(log.events.mid(2), QStringList({"closed 0", "done Mail 426"}));
    EXPECT_EQ(c.ErrorMessage(), "426 Operation aborted.");
}

// An abort issued from the display handler, at any line, ends the request once and leaves the
// client ready: the line being handled must not go on to a greeting, a reply judgement or a send.
struct DisplayAbortCase {
    const char* name;
    QString script;     // after the greeting, while the mail request runs
    QString abortAt;    // the display line whose handler aborts
    bool duringConnect; // the abort comes before the connect request has ended
    QString event;      // the end of the aborted request
};

void PrintTo(const DisplayAbortCase& c, std::ostream* os) { *os << c.name; }

class SmtpAbortFromDisplay : public ::testing::TestWithParam<DisplayAbortCase> {};

TEST_P(SmtpAbortFromDisplay, EndsTheRequestOnceAndLeavesTheClientReady)
{
    const DisplayAbortCase& dc = GetParam();
    RelaySession session(QString(kGreeting) + dc.script);
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    NoMoreText(c);
    c.SetRcptName({QStringLiteral("first@example.org"), QStringLiteral("data@sbd.iridium.com")});
    bool aborted = false;
    c.OnDisplay = [&](TCustomSmtpClient* s, const QString& m) {
        log.displays << m;
        if (!aborted && m.startsWith(dc.abortAt)) {
            aborted = true;
            s->Abort();
        }
    };
    PointAt(c, relay);
    c.Connect();
    ASSERT_TRUE(log.WaitDone()) << relay.Where();
    if (!dc.duringConnect) {
        ASSERT_EQ(log.events.last(), "done CONNECT 0");
        c.Mail();
        ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
    }
    WaitUntil([] { return false; }, 100); // a second end would show now
    EXPECT_TRUE(aborted);
    EXPECT_EQ(log.events.last(), dc.event) << log.events.join(" | ").toStdString();
    EXPECT_EQ(log.done, dc.duringConnect ? 1 : 2) << log.events.join(" | ").toStdString();
    if (dc.duringConnect) {
        EXPECT_FALSE(log.events.contains("connected 0")) << "the greeting was accepted after the abort";
    }
    EXPECT_EQ(c.State(), smtpReady);
    EXPECT_FALSE(c.LastResponse().startsWith("500 Internal client error")) << c.LastResponse();
    EXPECT_FALSE(c.AttachmentOpen());
    // Not stuck: the next request is accepted and ends through the queue.
    ASSERT_NO_THROW(c.Quit());
    ASSERT_TRUE(log.WaitDone(log.done + 1));
    EXPECT_EQ(log.events.last(), "done QUIT 0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpAbortFromDisplay,
    ::testing::Values(
        DisplayAbortCase{"at_the_greeting", "", "< 220", true, "done CONNECT 10004"},
        DisplayAbortCase{"at_a_refused_recipient_before_the_next",
                         "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<first@example.org>\nS: 550 no such user\n",
                         "< 550", false, "done Mail 426"},
        DisplayAbortCase{"at_the_reply_to_data",
                         "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<first@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 354 go\n",
                         "< 354", false, "done Mail 426"},
        DisplayAbortCase{"at_a_message_line",
                         "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<first@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\nS: 354 go\n",
                         "> From:", false, "done Mail 426"}),
    [](const ::testing::TestParamInfo<DisplayAbortCase>& i) { return std::string(i.param.name); });

// A command whose handler fails before it goes out leaves nothing to wait for: the failure
// reaches the caller and the client stays usable, alone or inside the mail request.
TEST(SmtpSession, CommandHandlerFailureLeavesTheClientUsable)
{
    RelaySession session(QString(kGreeting) + "C: QUIT\nS: 221 bye\nX\n");
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    ConnectTo(c, relay, log);
    int failures = 1;
    c.OnCommand = [&](TCustomSmtpClient*, const QString&) {
        if (failures-- > 0)
            throw SmtpException("command handler failed");
    };
    EXPECT_THROW(c.Quit(), SmtpException);
    EXPECT_EQ(c.State(), smtpReady);
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(log.done, 1) << "a request that raised must not end later";

    failures = 1;
    c.Mail(); // the MAIL FROM step fails at once and ends the request
    ASSERT_TRUE(log.WaitDone(2));
    EXPECT_EQ(log.events.last(), "done Mail 500");
    EXPECT_EQ(c.ErrorMessage(), "500 Internal client error SmtpException: \"command handler failed\"");

    c.Quit();
    ASSERT_TRUE(log.WaitDone(3)) << relay.Where();
    EXPECT_EQ(log.events.last(), "done QUIT 0");
    EXPECT_TRUE(relay.Finished());
    EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ").toStdString();
}

TEST(SmtpSession, RefusalsLeaveTheStateAsItWas)
{
    RelaySession session{QString(kGreeting)};
    auto& [relay, c, log] = session;
    auto refusal = [&](void (TCustomSmtpClient::*request)()) -> std::string {
        try {
            (c.*request)();
        } catch (const SmtpException& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(refusal(&TCustomSmtpClient::Helo), "SMTP component not connected");
    EXPECT_EQ(refusal(&TCustomSmtpClient::RcptTo), "RcptName list is empty");
    PointAt(c, relay);
    c.Connect();
    EXPECT_EQ(refusal(&TCustomSmtpClient::Mail), "SMTP component not ready");
    EXPECT_EQ(refusal(&TCustomSmtpClient::Quit), "SMTP component not ready");
    ASSERT_TRUE(log.WaitDone());
    EXPECT_EQ(refusal(&TCustomSmtpClient::Connect), "SMTP component already connected");
    EXPECT_EQ(refusal(&TCustomSmtpClient::Open), "SMTP component already connected");
    EXPECT_EQ(c.State(), smtpReady);
    EXPECT_EQ(log.events, QStringList({"connected 0", "done CONNECT 0"}));
}

// An exception that escapes the request-done handler is handled in the background: the
// connection is aborted, nothing more is reported, and the client takes new requests.
TEST(SmtpSession, ExceptionFromRequestDoneAbortsTheConnection)
{
    RelaySession session{QString(kGreeting)};
    auto& [relay, c, log] = session;
    auto record = c.OnRequestDone;
    c.OnRequestDone = [&](TCustomSmtpClient* s, TSmtpRequest rq, std::uint16_t e) {
        record(s, rq, e);
        throw std::runtime_error("second pass failed");
    };
    PointAt(c, relay);
    c.Connect();
    ASSERT_TRUE(log.WaitDone());
    ASSERT_TRUE(WaitUntil([&] { return relay.ClientClosed(); }));
    EXPECT_EQ(log.events, QStringList({"connected 0", "done CONNECT 0", "closed 0"}));
    EXPECT_EQ(c.State(), smtpReady);
    c.OnRequestDone = record;
    c.SetRcptName({"data@sbd.iridium.com"});
    c.Mail();
    ASSERT_TRUE(log.WaitDone(2));
    EXPECT_EQ(log.events.last(), "done Mail 500");
}

TEST(SmtpSession, EhloKeepsItsLinesAndTheAuthenticationTypesAnnounced)
{
    RelaySession session(QString(kGreeting) + "C: EHLO kestravo\nS: 250-relay.example\nS: 250-SIZE 1000\n"
                                              "S: 250-AUTH PLAIN login\nS: 250 AUTH=LOGIN CRAM-MD5\n");
    auto& [relay, c, log] = session;
    ConnectTo(c, relay, log);
    c.SetSignOn(QStringLiteral("kestravo"));
    c.Ehlo();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where().toStdString();
    EXPECT_EQ(log.events.last(), "done EHLO 0");
    EXPECT_EQ(c.EhloLines(), QStringList({"relay.example", "SIZE 1000", "AUTH PLAIN login", "AUTH=LOGIN CRAM-MD5"}));
    EXPECT_EQ(c.AuthTypesSupported(), QStringList({"PLAIN", "LOGIN", "CRAM-MD5"}));
}

TEST(SmtpSession, OpenGreetsWithHeloAndAuthNoneIsRefused)
{
    RelaySession session(QString(kGreeting) + "C: HELO kestravo_test\nS: 250 hello\n");
    auto& [relay, c, log] = session;
    PointAt(c, relay);
    c.SetSignOn(QStringLiteral("kestravo test"));
    c.Open();
    ASSERT_TRUE(log.WaitDone()) << relay.Where().toStdString();
    EXPECT_EQ(log.events, QStringList({"connected 0", "done Open 0"}));
    c.Auth();
    ASSERT_TRUE(log.WaitDone(2));
    EXPECT_EQ(log.events.last(), "done AUTH 500");
    EXPECT_EQ(c.LastResponse(), "500 ESMTP not supported.");
    EXPECT_TRUE(relay.Finished());
    EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ").toStdString();
}

// Without a connection the socket reports no close, yet an aborted lookup still ends the
// connect request.
TEST(SmtpSession, AbortDuringLookupEndsTheConnect)
{
    TWSocket::SetNameResolver([](const QString&, int& err) {
        err = 0;
        return QStringList{QStringLiteral("127.0.0.1")};
    });
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    c.SetHost(QStringLiteral("relay.example"));
    c.SetPort(QStringLiteral("25"));
    c.Connect();
    EXPECT_EQ(c.State(), smtpDnsLookup);
    c.Abort();
    EXPECT_EQ(c.State(), smtpReady);
    const bool done = log.WaitDone();
    TWSocket::SetNameResolver(nullptr);
    ASSERT_TRUE(done);
    EXPECT_EQ(log.events, QStringList({"done CONNECT 10004"}));
    c.Quit(); // the client takes requests again
    ASSERT_TRUE(log.WaitDone(2));
    EXPECT_EQ(log.events.last(), "done QUIT 0");
}

// The relay plays its script on a thread of its own, so that the test can hold the client between
// two message lines until the relay's stray reply has reached the client's socket: whatever order
// the event loop then picks, the reply is there before the client could send ".".
TEST(SmtpSession, AReplyWhileTheMessageGoesOutEndsTheRequestAndIsNeverTakenForTheAnswer)
{
    struct Case {
        const char* name;
        const char* afterFirstLine; // what the relay does after the first message line
        std::uint16_t code;
        const char* errorMessage;
    };
    const Case cases[] = {
        {"reply out of turn", "S: 250 premature\nC~: ^\\.$\nS: 554 rejected\n", kSmtpProtocolError,
         "SMTP protocol error: the relay replied while the message was being sent: \"250 premature\""},
        // Whether the close is seen before or after "." went out, the text names the close, never
        // the 354 of the command before.
        {"hang-up mid-DATA", "X\n", 10004, "10004 Connection closed by the relay"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const QString script = QString(kGreeting) +
                               "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                               "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\n"
                               "C: DATA\nS: 354 go ahead\nC: *\n" +
                               k.afterFirstLine;
        QThread thread;
        QObject relayHome;
        relayHome.moveToThread(&thread);
        thread.start();
        std::unique_ptr<ScriptedRelay> relay;
        QMetaObject::invokeMethod(&relayHome, [&] { relay = std::make_unique<ScriptedRelay>(script); },
                                  Qt::BlockingQueuedConnection);
        {
            TSmtpCli c;
            EventLog log;
            log.Attach(c);
            SetEnvelope(c);
            NoMoreText(c);
            int linesSent = 0;
            c.OnMessageDataSent = [&](TCustomSmtpClient* sender, int) {
                if (++linesSent != 1)
                    return;
                // Bounded wait for the relay's answer to the first line.
                for (int i = 0; i < 10000 && k.code == kSmtpProtocolError && sender->Socket()->BytesWaiting() == 0; ++i)
                    QThread::msleep(1);
            };
            c.SetHost(QStringLiteral("127.0.0.1"));
            c.SetPort(QString::number(relay->Port()));
            c.Connect();
            ASSERT_TRUE(log.WaitDone());
            ASSERT_EQ(log.events.last(), "done CONNECT 0");
            c.Mail();
            ASSERT_TRUE(log.WaitDone(2));
            EXPECT_EQ(log.lastRq, smtpMail);
            EXPECT_EQ(log.lastCode, k.code);
            EXPECT_TRUE(c.ErrorMessage().startsWith(QLatin1String(k.errorMessage))) << c.ErrorMessage();
            EXPECT_FALSE(c.ErrorMessage().contains(QStringLiteral("354"))) << c.ErrorMessage();
            if (k.code == kSmtpProtocolError) {
                EXPECT_FALSE(log.displays.contains(QStringLiteral("> .")));
                EXPECT_FALSE(c.LastResponse().startsWith(QStringLiteral("554"))) << c.LastResponse();
            }
            EXPECT_TRUE(WaitUntil([&] { return c.Socket()->State() == wsClosed; }));
            EXPECT_EQ(c.State(), smtpReady);
        }
        QMetaObject::invokeMethod(&relayHome, [&] { relay.reset(); }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
}

// ---- a session of many messages: one write per message, PIPELINING ----------------------------

namespace {

// The message lines as the relay got them, with what differs from one message to the next
// (its date, its Message-ID, the boundary of the minute) taken out.
QList<QByteArray> Comparable(const ScriptedRelay& relay, const TSmtpCli& c)
{
    QList<QByteArray> lines;
    for (QByteArray line : relay.MessageLines()) {
        if (line.startsWith("Date: ") || line.startsWith("Message-ID: "))
            continue;
        lines << line.replace(c.Boundary(), "BOUNDARY");
    }
    return lines;
}

} // namespace

// The message goes out in one write (a long one in 64 KiB pieces) with the very bytes that go
// out line by line: dot-stuffing, header hooks and attachments alike.
TEST(SmtpSession, MessageInOneWriteSendsTheSameBytesInOneWrite)
{
    QTemporaryDir dir;
    const QString small = WriteFile(dir, "temp.sbd", SampleRecord());
    const QString large = WriteFile(dir, "large.sbd", QByteArray(100000, 'k'));
    const QList<QByteArray> body = {".", ".hidden", "plain"};
    const char* const script = "S: 220 relay.example ready\n"
                               "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                               "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\n"
                               "C: DATA\nS: 354 go ahead\nM\nS: 250 queued\n";
    for (const QString& attachment : {small, large}) {
        SCOPED_TRACE(attachment.toStdString());
        QList<QByteArray> sent[2];
        QList<int> writes[2];
        for (const bool oneWrite : {false, true}) {
            RelaySession session(script);
            auto& [relay, c, log] = session;
            SetEnvelope(c);
            c.SetEmailFiles({attachment});
            c.OnGetData = [&](TCustomSmtpClient*, int lineNum, char* buf, int maxLen, bool& more) {
                if (lineNum > body.size()) {
                    more = false;
                    return;
                }
                qstrncpy(buf, body[lineNum - 1].constData(), size_t(maxLen));
            };
            c.OnMessageDataSent = [&](TCustomSmtpClient*, int size) { writes[oneWrite] << size; };
            c.SetMessageInOneWrite(oneWrite);
            ConnectTo(c, relay, log);
            c.Mail();
            ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
            EXPECT_EQ(log.events.last(), "done Mail 0");
            ASSERT_TRUE(relay.MessageEnded());
            EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ");
            sent[oneWrite] = Comparable(relay, c);
        }
        EXPECT_EQ(sent[1], sent[0]);
        EXPECT_TRUE(sent[0].contains(".."));
        EXPECT_TRUE(sent[0].contains("..hidden"));
        EXPECT_GT(writes[0].size(), 20);
        EXPECT_EQ(writes[1].size(), attachment == small ? 1 : 3) << "writes of the one-write message";
        for (int k = 0; k + 1 < writes[1].size(); ++k)
            EXPECT_GE(writes[1][k], 65536);
    }
}

struct PipelineCase {
    const char* name;
    QString ehloReply;
    QString script; // after the EHLO reply
    QString event;
    QString errorMessage;
    bool messageSent;
};

void PrintTo(const PipelineCase& c, std::ostream* os) { *os << c.name; }

class SmtpPipelining : public ::testing::TestWithParam<PipelineCase> {};

const char* const kPipeliningEhlo = "S: 250-relay.example\nS: 250-SIZE 10240000\nS: 250-PIPELINING\nS: 250 8BITMIME\n";
const char* const kBatch = "C: MAIL FROM:<operator@example.org>\nC: RCPT TO:<data@sbd.iridium.com>\nC: DATA\n";

// The relay holds every reply until it has all three commands: a client that waited for the
// reply to MAIL FROM before sending RCPT TO would wait here for ever.
TEST_P(SmtpPipelining, SendsTheThreeCommandsAtOnceAndJudgesEachReply)
{
    const PipelineCase& pc = GetParam();
    RelaySession session(QString(kGreeting) + "C: EHLO kestravo\n" + pc.ehloReply + pc.script +
                         "C: RSET\nS: 250 reset\n");
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    NoMoreText(c);
    c.SetSignOn(QStringLiteral("kestravo"));
    c.SetPipelining(true);
    ConnectTo(c, relay, log);
    c.Ehlo();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
    c.Mail();
    ASSERT_TRUE(log.WaitDone(3)) << relay.Where();
    EXPECT_EQ(log.events.last(), pc.event) << log.events.join(" | ");
    EXPECT_EQ(c.ErrorMessage(), pc.errorMessage);
    EXPECT_EQ(relay.MessageEnded(), pc.messageSent);
    EXPECT_EQ(relay.MessageLines().isEmpty(), !pc.messageSent) << "message data after a refusal";
    EXPECT_EQ(c.State(), smtpReady);
    // Every reply has been read: the next command gets its own.
    c.Rset();
    ASSERT_TRUE(log.WaitDone(4)) << relay.Where();
    EXPECT_EQ(log.events.last(), "done RSET 0") << c.LastResponse();
    EXPECT_TRUE(relay.Finished()) << relay.Where();
    EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpPipelining,
    ::testing::Values(
        PipelineCase{"accepted", kPipeliningEhlo,
                     QString(kBatch) + "S: 250 sender ok\nS: 251 will forward\nS: 354 go ahead\nM\nS: 250 queued\n",
                     "done Mail 0", "", true},
        PipelineCase{"multi_line_replies", kPipeliningEhlo,
                     QString(kBatch) + "S: 250-sender\nS: 250 ok\nS: 250 ok\nS: 354-go\nS: 354 ahead\nM\nS: 250 queued\n",
                     "done Mail 0", "", true},
        PipelineCase{"recipient_refused_data_refused", kPipeliningEhlo,
                     QString(kBatch) + "S: 250 ok\nS: 550 no such user\nS: 503 no valid recipients\n",
                     "done Mail 550", "550 no such user", false},
        // RFC 2920 3.1: DATA accepted after every recipient was refused gets "." and nothing else.
        PipelineCase{"recipient_refused_data_accepted_ends_the_empty_message", kPipeliningEhlo,
                     QString(kBatch) + "S: 250 ok\nS: 550 no such user\nS: 354 go ahead\nC: .\nS: 554 no recipients\n",
                     "done Mail 550", "550 no such user", false},
        PipelineCase{"sender_refused", kPipeliningEhlo,
                     QString(kBatch) + "S: 553 bad sender\nS: 503 sender first\nS: 503 sender first\n",
                     "done Mail 553", "553 bad sender", false},
        PipelineCase{"session_limit", kPipeliningEhlo,
                     QString(kBatch) + "S: 452 4.5.3 Too many messages\nS: 503 sender first\nS: 503 sender first\n",
                     "done Mail 452", "452 4.5.3 Too many messages", false},
        PipelineCase{"data_refused", kPipeliningEhlo, QString(kBatch) + "S: 250 ok\nS: 250 ok\nS: 554 no thanks\n",
                     "done Mail 554", "554 no thanks", false},
        PipelineCase{"message_refused", kPipeliningEhlo,
                     QString(kBatch) + "S: 250 ok\nS: 250 ok\nS: 354 go\nM\nS: 554 rejected\n",
                     "done Mail 554", "554 rejected", true},
        // Without PIPELINING in the reply to EHLO the commands go one by one.
        PipelineCase{"not_offered", "S: 250-relay.example\nS: 250 PIPELININGX\n",
                     "C: MAIL FROM:<operator@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\n"
                     "C: DATA\nS: 354 go\nM\nS: 250 queued\n",
                     "done Mail 0", "", true}),
    [](const ::testing::TestParamInfo<PipelineCase>& i) { return std::string(i.param.name); });

// A relay that hangs up after refusing the sender: the refusal read stands, not the close; a
// malformed reply inside the batch never counts as acceptance.
TEST(SmtpSession, PipelinedMailEndsWithTheFirstRefusalOrTheFault)
{
    const struct {
        const char* name;
        const char* replies;
        const char* event;
    } cases[] = {
        {"refused, then the relay hangs up", "S: 550 no\nX\n", "done Mail 550"},
        {"the relay hangs up before any reply", "X\n", "done Mail 10004"},
        {"malformed reply to RCPT TO", "S: 250 ok\nS: -250 ok\nS: 354 go\n", "done Mail 20600"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        RelaySession session(QString(kGreeting) + "C: EHLO kestravo\n" + kPipeliningEhlo + kBatch + k.replies);
        auto& [relay, c, log] = session;
        SetEnvelope(c);
        NoMoreText(c);
        c.SetSignOn(QStringLiteral("kestravo"));
        c.SetPipelining(true);
        ConnectTo(c, relay, log);
        c.Ehlo();
        ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
        EXPECT_TRUE(c.RelayOffersPipelining());
        c.Mail();
        ASSERT_TRUE(log.WaitDone(3)) << relay.Where();
        EXPECT_EQ(log.events.last(), k.event) << log.events.join(" | ");
        EXPECT_FALSE(relay.MessageEnded());
        EXPECT_EQ(c.State(), smtpReady);
        EXPECT_TRUE(WaitUntil([&] { return c.Socket()->State() == wsClosed; }));
    }
}

// A header line longer than the sending buffer would go out cut: the message is refused before
// DATA, whether the commands go one by one or together, and the session stays usable.
TEST(SmtpSession, HeaderLineTooLongIsRefusedBeforeData)
{
    const struct {
        const char* name;
        bool pipelining;
        bool fold;
        const char* script; // after the reply to EHLO
    } cases[] = {
        {"one by one", false, false,
         "C: MAIL FROM:<operator@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\n"},
        {"folded, one by one", false, true,
         "C: MAIL FROM:<operator@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\n"},
        {"pipelined", true, false, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        RelaySession session(QString(kGreeting) + "C: EHLO kestravo\n" + kPipeliningEhlo + k.script +
                             "C: RSET\nS: 250 reset\n");
        auto& [relay, c, log] = session;
        SetEnvelope(c);
        NoMoreText(c);
        // 2,048 bytes: one over the limit, in words a fold could break but the buffer cannot hold.
        QString subject;
        while (subject.size() < 2048 - 9)
            subject += QStringLiteral("word ");
        c.SetHdrSubject(subject.left(2048 - 9));
        c.SetFoldHeaders(k.fold);
        c.SetSignOn(QStringLiteral("kestravo"));
        c.SetPipelining(k.pipelining);
        ConnectTo(c, relay, log);
        c.Ehlo();
        ASSERT_TRUE(log.WaitDone(2)) << relay.Where();
        c.Mail();
        ASSERT_TRUE(log.WaitDone(3)) << relay.Where();
        EXPECT_EQ(log.events.last(), "done Mail 500") << log.events.join(" | ");
        EXPECT_TRUE(c.ErrorMessage().contains(QStringLiteral("Header line Subject: too long"))) << c.ErrorMessage();
        EXPECT_TRUE(relay.MessageLines().isEmpty());
        c.Rset();
        ASSERT_TRUE(log.WaitDone(4)) << relay.Where();
        EXPECT_EQ(log.events.last(), "done RSET 0") << c.LastResponse();
        EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(" | ");
    }
}

// ---- every reply answers a command -------------------------------------------------------------

namespace {

struct UnaskedCase {
    const char* name;
    bool pipelining;
    const char* afterData; // the relay's part from its answer to DATA on
};

void PrintTo(const UnaskedCase& c, std::ostream* os) { *os << c.name; }

class SmtpUnaskedReply : public ::testing::TestWithParam<UnaskedCase> {};

} // namespace

// DATA answered 354, an extra "250" nobody asked for, then the relay's real "554" to ".": the
// 250 must never pass for the answer to ".", and the 554 never for the next command's answer.
TEST_P(SmtpUnaskedReply, MakesTheTransactionAProtocolErrorNeverAnAcceptance)
{
    const UnaskedCase& k = GetParam();
    const QString envelope = k.pipelining
        ? QStringLiteral("C: MAIL FROM:<operator@example.org>\nC: RCPT TO:<data@sbd.iridium.com>\nC: DATA\n"
                         "S: 250 ok\nS: 250 ok\n")
        : QStringLiteral("C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                         "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\nC: DATA\n");
    RelaySession session(QString(kGreeting) + "C~: ^EHLO \nS: 250-relay.example\nS: 250 PIPELINING\n" + envelope +
                         k.afterData);
    auto& [relay, c, log] = session;
    SetEnvelope(c);
    NoMoreText(c);
    c.SetSignOn(QStringLiteral("client.example"));
    c.SetPipelining(k.pipelining);
    c.SetMessageInOneWrite(k.pipelining);
    ConnectTo(c, relay, log);
    c.Ehlo();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where().toStdString();
    c.Mail();
    ASSERT_TRUE(log.WaitDone(3)) << relay.Where().toStdString();
    EXPECT_EQ(log.events.last(), "done Mail 20600") << log.events.join(" | ").toStdString();
    EXPECT_TRUE(c.ErrorMessage().startsWith(QLatin1String("SMTP protocol error: "))) << c.ErrorMessage().toStdString();
    // The connection goes, so what the relay said out of step answers no later command.
    EXPECT_TRUE(WaitUntil([&] { return c.Socket()->State() == wsClosed; }));
    EXPECT_EQ(c.State(), smtpReady);
    EXPECT_THROW(c.MailFrom(), SmtpException);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpUnaskedReply,
    ::testing::Values(
        // With the 354, before any message line went out.
        UnaskedCase{"early", false, "S: 354 go ahead\\r\\n250 2.0.0 stray extra reply\nC~: ^\\.$\nS: 554 5.7.1 rejected\n"},
        UnaskedCase{"early_pipelined", true, "S: 354 go ahead\\r\\n250 2.0.0 stray extra reply\nC~: ^\\.$\nS: 554 5.7.1 rejected\n"},
        // After ".": the stray comes first and reads like its answer; the real one follows.
        UnaskedCase{"after_the_dot", false, "S: 354 go ahead\nM\nS: 250 2.0.0 stray extra reply\\r\\n554 5.7.1 rejected\n"},
        UnaskedCase{"after_the_dot_pipelined", true, "S: 354 go ahead\nM\nS: 250 2.0.0 stray extra reply\\r\\n554 5.7.1 rejected\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- a password in clear only to this machine --------------------------------------------------

namespace {

// An address of this machine that is not a loopback one, or an empty text.
QString NonLoopbackAddress()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return QString();
    QString found;
    for (ifaddrs* p = list; p && found.isEmpty(); p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || (p->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr, text, sizeof text);
        found = QString::fromLatin1(text);
    }
    ::freeifaddrs(list);
    return found;
}

} // namespace

// Whether AUTH may go without TLS is decided on the address connected, not on the first one the
// name gave: a first 127.0.0.1 that refuses must not let the password go in clear to the next.
TEST(SmtpSession, PasswordWithoutTlsGoesOnlyToTheLoopbackPeerActuallyConnected)
{
    const QString other = NonLoopbackAddress();
    const struct {
        const char* name;
        QString listen;       // where the relay is
        QStringList resolved; // what relay.test resolves to
        bool authSent;
    } rows[] = {
        {"localhost with ::1 listed first", QStringLiteral("::1"), {"::1", "127.0.0.1"}, true},
        {"first 127.0.0.1 refuses, another machine answers", other, {"127.0.0.1", other}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.listen.isEmpty()) {
            std::cout << "skipped: this machine has no address besides loopback\n";
            continue;
        }
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress(row.listen), 0)) {
                std::cout << "skipped: cannot listen on " << row.listen.toStdString() << "\n";
                continue;
            }
        }
        const QStringList resolved = row.resolved;
        TWSocket::SetNameResolver([resolved](const QString&, int& err) {
            err = 0;
            return resolved;
        });
        ScriptedRelay relay(QString(kGreeting) + "C~: ^EHLO \nS: 250-relay.example\nS: 250 AUTH PLAIN\n" +
                                (row.authSent ? "C~: ^AUTH PLAIN \nS: 235 2.7.0 ok\n" : "H\n"),
                            QHostAddress(row.listen));
        ASSERT_TRUE(relay.Listening());
        TSmtpCli c;
        EventLog log;
        log.Attach(c);
        c.SetHost(QStringLiteral("relay.test"));
        c.SetPort(QString::number(relay.Port()));
        c.SetSignOn(QStringLiteral("client.example"));
        c.SetAuthType(smtpAuthPlain);
        c.SetUsername(QStringLiteral("operator"));
        c.SetPassword(QByteArrayLiteral("s3cret-pass"));
        c.Open();
        ASSERT_TRUE(log.WaitDone()) << relay.Where().toStdString();
        EXPECT_EQ(log.events.last(), row.authSent ? "done Open 0" : "done Open 500") << c.ErrorMessage().toStdString();
        EXPECT_EQ(c.Socket()->ConnectedAddr(), row.listen);
        for (const QString& line : relay.Unexpected())
            EXPECT_FALSE(line.startsWith(QLatin1String("AUTH"))) << line.toStdString();
        EXPECT_EQ(relay.Finished(), row.authSent) << relay.Where().toStdString();
        TWSocket::SetNameResolver(nullptr);
    }
}

// A relay that quotes the sign-in back: its text reaches neither the error, the last reply, the
// display nor the response event; the code does, with a fixed text.
TEST(SmtpSession, RepliesDuringAuthAreReportedByCodeWithoutTheirText)
{
    const QByteArray credential = QByteArrayLiteral("AG9wZXJhdG9yAHMzY3JldC1wYXNz"); // "\0operator\0s3cret-pass"
    const struct {
        const char* name;
        QString reply;
        const char* event;
        const char* errorMessage;
    } rows[] = {
        {"refused", "S: 535-5.7.8 you sent AUTH PLAIN " + credential + "\nS: 535 5.7.8 that is: s3cret-pass\n", "done Open 535",
         "535 authentication failed: the relay refused the user name or password"},
        {"syntax", "S: 501 5.5.2 cannot decode " + credential + "\n", "done Open 501",
         "501 (the relay's reply to the sign-in, not shown)"},
        {"not a reply line", "S: AUTH PLAIN " + credential + "?\n", "done Open 20600",
         "SMTP protocol error: not an SMTP reply line: \"(a line the relay sent during the sign-in, not shown)\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RelaySession session(QString(kGreeting) + "C~: ^EHLO \nS: 250-relay.example\nS: 250 AUTH PLAIN\n"
                             "C~: ^AUTH PLAIN \n" + row.reply);
        auto& [relay, c, log] = session;
        QStringList responses;
        c.OnResponse = [&](TCustomSmtpClient*, const QString& line) { responses << line; };
        PointAt(c, relay);
        c.SetSignOn(QStringLiteral("client.example"));
        c.SetAuthType(smtpAuthPlain);
        c.SetUsername(QStringLiteral("operator"));
        c.SetPassword(QByteArrayLiteral("s3cret-pass"));
        c.Open();
        ASSERT_TRUE(log.WaitDone()) << relay.Where().toStdString();
        EXPECT_EQ(log.events.last(), row.event);
        EXPECT_EQ(c.ErrorMessage(), row.errorMessage);
        for (const QString& text : QStringList{c.ErrorMessage(), c.LastResponse(), c.RequestResponse()} + log.displays +
                                       log.events + responses) {
            EXPECT_FALSE(text.contains(QLatin1String(credential))) << text.toStdString();
            EXPECT_FALSE(text.contains(QLatin1String("s3cret"))) << text.toStdString();
        }
    }
}
