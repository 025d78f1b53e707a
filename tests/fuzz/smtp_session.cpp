// SPDX-License-Identifier: Apache-2.0
// The whole send as the window runs it: Connect, Mail (HELO once and Mail again after a 503),
// Quit, against a relay whose replies are the fuzz input. Whatever the relay says, every request
// ends; the mail is reported sent only when the relay's bytes held the accepting replies in order
// (220, 250 to MAIL FROM, 250 or 251 to RCPT TO, 354 to DATA, 250 to the message) and the relay
// received the whole message. When every reply is one clean final line, the outcome is exact.
// With bit 4 of the first byte the session is a fleet's: EHLO first, then Mail with PIPELINING
// (when the reply to EHLO offers it) and the message in one write; the same rules hold, except
// the exact outcome, which follows a course of its own.
#include "fuzz_check.h"
#include "smtp_relay.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

using namespace kestravo::mail;
using namespace kestravo::fuzz;

namespace {

// The code the harness records when the client refuses a request it was given.
constexpr int kRefusedRequest = -1;

const QString kSender = QStringLiteral("kestravo@localhost");
const QString kGateway = QStringLiteral("data@sbd.iridium.com");
const QString kImei = QStringLiteral("300234010123450");

QByteArray Record()
{
    QByteArray r;
    for (int i = 0; i < 44; ++i)
        r.append(char((i * 37 + 11) & 0xFF));
    return r;
}

// The attachment, written once for the whole run.
QString RecordFile()
{
    static QTemporaryDir* dir = new QTemporaryDir();
    static const QString path = [] {
        const QString p = dir->filePath(QStringLiteral("temp.sbd"));
        QFile f(p);
        FUZZ_CHECK(f.open(QIODevice::WriteOnly) && f.write(Record()) == 44, "cannot write the record");
        return p;
    }();
    return path;
}

struct Outcome {
    bool connected = false;
    std::optional<int> mail; // the Mail request's code, if it was issued
};

// The client's course when each reply is a single final line: which codes it reads, in order.
Outcome Predict(const std::vector<int>& codes)
{
    Outcome o;
    std::size_t i = 0;
    auto next = [&]() -> std::optional<int> {
        if (i >= codes.size())
            return std::nullopt;
        return JudgedCode(codes[i++]);
    };
    auto mailTransaction = [&]() -> int {
        const std::pair<int, int> steps[] = {{250, 250}, {250, 251}, {354, 354}, {250, 250}};
        for (auto [a, b] : steps) {
            const std::optional<int> code = next();
            if (!code)
                return 10004;
            if (*code != a && *code != b)
                return *code;
        }
        return 0;
    };
    const std::optional<int> greeting = next();
    if (!greeting || *greeting != 220)
        return o;
    o.connected = true;
    int result = mailTransaction();
    if (result == 503) {
        const std::optional<int> helo = next();
        // No reply to HELO: the relay hung up, which the window reports as the 503.
        result = !helo ? 10004 : *helo == 250 ? mailTransaction() : *helo;
    }
    o.mail = result;
    return o;
}

// Every reply complete, one final line each, at its end; nothing the reader refuses.
bool CleanReplies(const std::vector<QByteArray>& replies, std::vector<int>& codes)
{
    for (const QByteArray& reply : replies) {
        QByteArray rest;
        const QList<ReplyLine> lines = ReadReplyLines(reply, &rest);
        if (!rest.isEmpty() || lines.isEmpty() || reply.contains('\0'))
            return false;
        for (qsizetype k = 0; k < lines.size(); ++k) {
            if (lines[k].final != (k == lines.size() - 1) || lines[k].text.size() > 1000)
                return false;
        }
        codes.push_back(lines.last().code);
    }
    return true;
}

bool IsSubsequence(const QList<ReplyLine>& lines)
{
    const std::pair<int, int> wanted[] = {{220, 220}, {250, 250}, {250, 251}, {354, 354}, {250, 250}};
    std::size_t k = 0;
    for (const ReplyLine& line : lines) {
        if (!line.final)
            continue;
        if (k < std::size(wanted) && (line.code == wanted[k].first || line.code == wanted[k].second))
            ++k;
    }
    return k == std::size(wanted);
}

// MAIL FROM, RCPT TO, DATA, the message with the record in it, and its final ".", in order.
bool RelayGotTheMessage(const QList<QByteArray>& lines)
{
    const QByteArray steps[] = {"MAIL FROM:<" + kSender.toLatin1() + ">", "RCPT TO:<" + kGateway.toLatin1() + ">",
                                "DATA", Record().toBase64(), "."};
    std::size_t k = 0;
    for (const QByteArray& line : lines)
        if (k < std::size(steps) && line == steps[k])
            ++k;
    return k == std::size(steps);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitSmtpFuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    InitSmtpFuzzing();
    const RelayPlan plan = ParsePlan(data, size, true);
    const bool fleet = size > 0 && (data[0] & 0x10) != 0;
    std::vector<int> cleanCodes;
    const bool clean = CleanReplies(plan.replies, cleanCodes) && !fleet;

    FuzzRelay relay(plan);
    TSmtpCli client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(QString::number(FuzzRelay::Port()));
    client.SetSignOn(QStringLiteral("fuzz.example"));
    client.RcptName().append(kGateway);
    client.SetHdrFrom(kSender);
    client.SetHdrTo(kGateway);
    client.SetHdrSubject(kImei);
    client.SetFromName(kSender);
    client.SetEmailFiles({RecordFile()});

    // KESTRAVO_FUZZ_TRACE=1 shows the conversation, for looking into a failing input.
    static const bool trace = qEnvironmentVariableIsSet("KESTRAVO_FUZZ_TRACE");
    if (trace)
        client.OnDisplay = [](TCustomSmtpClient*, const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); };

    // The window's sequence, driven by the reports.
    Outcome seen;
    std::function<void(TSmtpRequest, std::uint16_t)> Next;
    bool greeted = false;
    bool finished = false;
    int reports = 0;
    int quitReports = 0;
    client.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t code) {
        ++reports;
        // As in the window: a request refused from here ends the send, and the session is aborted.
        try {
            Next(rq, code);
        } catch (const std::exception&) {
            if (!seen.mail && seen.connected)
                seen.mail = kRefusedRequest;
            client.AbortComponent();
            finished = true;
        }
    };
    Next = [&](TSmtpRequest rq, std::uint16_t code) {
        switch (rq) {
        case smtpConnect:
            if (code != 0) {
                finished = true;
                return;
            }
            seen.connected = true;
            if (fleet) {
                client.Ehlo();
                return;
            }
            client.Mail();
            return;
        case smtpEhlo:
            // Refused or not, the mail follows: command by command when PIPELINING is not offered.
            client.SetPipelining(true);
            client.SetMessageInOneWrite(true);
            client.Mail();
            return;
        case smtpMail:
            if (code == 503 && !greeted && client.Socket()->State() == wsConnected) {
                greeted = true;
                client.Helo();
                return;
            }
            seen.mail = code;
            client.Quit();
            return;
        case smtpHelo:
            if (code == 0) {
                client.Mail();
                return;
            }
            seen.mail = code == 10004 ? 503 : code;
            client.Quit();
            return;
        case smtpQuit:
            ++quitReports;
            finished = true;
            return;
        default:
            FUZZ_CHECK(false, "report for request %d", int(rq));
        }
    };
    client.Connect();
    RunUntil(relay, client, [&] { return finished; });
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    FUZZ_CHECK(quitReports <= 1, "QUIT reported %d times", quitReports);

    if (seen.mail == 0) {
        FUZZ_CHECK(IsSubsequence(ReadReplyLines(relay.Sent())), "mail reported sent without the accepting replies");
        FUZZ_CHECK(RelayGotTheMessage(relay.Received()), "mail reported sent, but the relay did not get it");
    }
    if (clean) {
        const Outcome expected = Predict(cleanCodes);
        FUZZ_CHECK(seen.connected == expected.connected, "connected %d, expected %d", seen.connected, expected.connected);
        FUZZ_CHECK(seen.mail.has_value() == expected.mail.has_value(), "mail issued %d, expected %d",
                   seen.mail.has_value(), expected.mail.has_value());
        // A relay that hangs up may do so before or after the client's next request starts:
        // the send fails either way, with 10004 or with the refused step's 500.
        if (expected.mail && *expected.mail == 10004)
            FUZZ_CHECK(*seen.mail != 0, "mail sent although the relay hung up");
        else if (expected.mail)
            FUZZ_CHECK(*seen.mail == *expected.mail, "mail code %d, expected %d", *seen.mail, *expected.mail);
    }
    return 0;
}
