// SPDX-License-Identifier: Apache-2.0
// The e-mail link on its own, against scripted relays: each row is a whole conversation (open,
// the messages one after another, close) with what the link answers at each step. The flow above
// the link is tested elsewhere; here nothing stands between the link and the relay.
#include "mail/mail_link.h"
#include "kit/scripted_relay.h"
#include "kit/wait.h"

#include <QByteArrayList>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace kestravo;
using namespace kestravo::testkit;
using kestravo::mail::MailLink;
using kestravo::send::Outcome;
using kestravo::send::SbdMessage;
using kestravo::send::SbdResult;
using kestravo::send::SendOptions;

namespace {

const QString kImei = QStringLiteral("300234010123450");

TConfigRecord Record(int seed)
{
    TConfigRecord r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = std::uint8_t(i * 41 + seed);
    return r;
}


// One accepted mail transaction, from MAIL FROM to the reply to ".".
#define MAIL_ACCEPTED(reply)                                                                                     \
    "C: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\nS: 250 ok\nC: DATA\n"          \
    "S: 354 go on\nM\nS: " reply "\n"
#define QUIT "C: QUIT\nS: 221 bye\nX\n"

struct Expected {
    int code;
    Outcome outcome;
    const char* detail; // a part of the answer's text
};

struct Transcript {
    const char* name;
    const char* script;
    endpoints::Endpoints::Security security;
    Expected open;
    std::vector<Expected> messages; // one per message sent, in order; none when the opening fails
    int connections;
};

const Transcript kTranscripts[] = {
    {"one message accepted",
     "S: 220 relay.example ready\n" MAIL_ACCEPTED("250 queued as A1") QUIT,
     endpoints::Endpoints::Security::None,
     {0, Outcome::Accepted, "220 relay.example ready"},
     {{0, Outcome::Accepted, "250 queued as A1"}},
     1},
    {"a refusal, then the next message on the same session after RSET",
     "S: 220 relay.example ready\nC: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\n"
     "S: 550 5.1.1 no such mailbox\nC: RSET\nS: 250 reset\n" MAIL_ACCEPTED("250 queued as B2") QUIT,
     endpoints::Endpoints::Security::None,
     {0, Outcome::Accepted, "220"},
     {{550, Outcome::Refused, "550 5.1.1 no such mailbox"}, {0, Outcome::Accepted, "250 queued as B2"}},
     1},
    {"a hang-up mid-transaction: one reconnection, the message tried once more",
     "S: 220 relay.example ready\n" MAIL_ACCEPTED("250 first") "C: MAIL FROM:<ops@example.org>\nX\n"
     "A\nS: 220 relay.example back\n" MAIL_ACCEPTED("250 second") QUIT,
     endpoints::Endpoints::Security::None,
     {0, Outcome::Accepted, "220"},
     {{0, Outcome::Accepted, "250 first"}, {0, Outcome::Accepted, "250 second"}},
     2},
    {"421: one reconnection, the message tried once more",
     "S: 220 relay.example ready\nC: MAIL FROM:<ops@example.org>\nS: 421 4.3.2 closing down\nX\n"
     "A\nS: 220 relay.example back\n" MAIL_ACCEPTED("250 at last") QUIT,
     endpoints::Endpoints::Security::None,
     {0, Outcome::Accepted, "220"},
     {{0, Outcome::Accepted, "250 at last"}},
     2},
    {"421 again after the reconnection: the message keeps it, no third connection",
     "S: 220 relay.example ready\nC: MAIL FROM:<ops@example.org>\nS: 421 4.3.2 closing down\nX\n"
     "A\nS: 220 relay.example back\nC: MAIL FROM:<ops@example.org>\nS: 421 4.3.2 still closing\nX\n",
     endpoints::Endpoints::Security::None,
     {0, Outcome::Accepted, "220"},
     {{421, Outcome::Refused, "421 4.3.2 still closing"}},
     2},
    {"STARTTLS asked for but not offered: nothing goes out in clear, the link hangs up",
     "S: 220 relay.example ready\nC~: ^EHLO \nS: 250-relay.example\nS: 250 8BITMIME\n",
     endpoints::Endpoints::Security::StartTls,
     {500, Outcome::ConnectionFailed, "does not offer STARTTLS"},
     {},
     1},
    {"STARTTLS refused: nothing goes out in clear, the link hangs up",
     "S: 220 relay.example ready\nC~: ^EHLO \nS: 250-relay.example\nS: 250 STARTTLS\nC: STARTTLS\n"
     "S: 454 4.7.0 TLS not available now\n",
     endpoints::Endpoints::Security::StartTls,
     {454, Outcome::ConnectionFailed, "454 4.7.0 TLS not available now"},
     {},
     1},
};

endpoints::Endpoints RelayEndpoints(const ScriptedRelay& relay, endpoints::Endpoints::Security security)
{
    endpoints::Endpoints e;
    e.relayHost = QStringLiteral("127.0.0.1");
    e.relayPort = QString::number(relay.Port());
    e.sender = QStringLiteral("ops@example.org");
    e.gateway = QStringLiteral("data@sbd.example");
    e.timeoutSeconds = 10;
    e.security = security;
    return e;
}

} // namespace

TEST(MailLink, Transcripts)
{
    for (const Transcript& row : kTranscripts) {
        SCOPED_TRACE(row.name);
        ScriptedRelay relay(QString::fromLatin1(row.script));
        ASSERT_TRUE(relay.Listening());
        MailLink link(RelayEndpoints(relay, row.security), SendOptions{});
        std::vector<QString> references(row.messages.size());
        link.OnReference = [&](std::size_t i, const QString& id) { references.at(i) = id; };

        std::optional<std::pair<int, QString>> opened;
        link.Open([&](int code, const QString& text) { opened.emplace(code, text); });
        ASSERT_TRUE(WaitUntil([&] { return opened.has_value(); })) << relay.Where().toStdString();
        EXPECT_EQ(opened->first, row.open.code) << opened->second.toStdString();
        EXPECT_TRUE(opened->second.contains(QLatin1String(row.open.detail))) << opened->second.toStdString();

        for (std::size_t i = 0; i < row.messages.size(); ++i) {
            SCOPED_TRACE(i);
            std::optional<SbdResult> answer;
            link.Send(i, SbdMessage{kImei, Record(int(i))}, [&](const SbdResult& r) { answer = r; });
            EXPECT_FALSE(answer) << "an answer from within the call that asked for it";
            ASSERT_TRUE(WaitUntil([&] { return answer.has_value(); })) << relay.Where().toStdString();
            const Expected& want = row.messages[i];
            EXPECT_EQ(answer->code, want.code) << answer->detail.toStdString();
            EXPECT_EQ(answer->outcome, want.outcome) << answer->detail.toStdString();
            EXPECT_TRUE(answer->detail.contains(QLatin1String(want.detail))) << answer->detail.toStdString();
            if (want.code == 0) {
                // The Message-ID was known before the answer, and the answer names the same one.
                EXPECT_TRUE(answer->reference.contains(u'@')) << answer->reference.toStdString();
                EXPECT_EQ(answer->reference, references[i]);
            }
        }

        bool closed = false;
        link.Close([&] { closed = true; });
        ASSERT_TRUE(WaitUntil([&] { return closed; }));
        EXPECT_FALSE(link.SessionOpen());
        ASSERT_TRUE(WaitUntil([&] { return relay.Finished(); })) << relay.Where().toStdString();
        EXPECT_TRUE(relay.Unexpected().isEmpty()) << relay.Unexpected().join(u" | ").toStdString();
        EXPECT_EQ(relay.Connections(), row.connections);
        if (row.open.code != 0) // a session that could not be made safe is not kept open
            EXPECT_TRUE(WaitUntil([&] { return relay.ClientClosed(); }));

        // Each accepted message carried its own record, to the IMEI as subject.
        int accepted = 0;
        for (std::size_t i = 0; i < row.messages.size(); ++i) {
            if (row.messages[i].code != 0)
                continue;
            const TConfigRecord r = Record(int(i));
            EXPECT_EQ(Attachment(relay.MessageLines(), accepted++),
                      QByteArray(reinterpret_cast<const char*>(r.data()), qsizetype(r.size())));
        }
        EXPECT_EQ(relay.MessageLines().count("Subject: " + kImei.toLatin1()), accepted);
    }
}
