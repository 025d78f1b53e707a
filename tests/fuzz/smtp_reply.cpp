// SPDX-License-Identifier: Apache-2.0
// The client's reply reader, driven through the one request that reads a reply with nothing sent
// first: Connect and its greeting. The input is the whole of what the relay says, in pieces of
// the size the first byte asks for, then the relay hangs up. Whatever the bytes, the request ends;
// it succeeds only when the first final reply line reads 220, and it always does then unless
// something the reader must refuse (a zero byte, a line longer than its buffer) came first. A
// line that is no reply line ("-220", " 220", "0220", "22 ok", a continuation with another code)
// ends it with the protocol error, never with success; so may any line after the greeting, which
// no command asked for.
#include "fuzz_check.h"
#include "smtp_relay.h"

#include <cstddef>
#include <cstdint>
#include <optional>

using namespace kestravo::mail;
using namespace kestravo::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitSmtpFuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    InitSmtpFuzzing();
    RelayPlan plan = ParsePlan(data, size, false);
    plan.hangUpAfterLast = true;
    const QByteArray stream = plan.replies.empty() ? QByteArray() : plan.replies.front();

    FuzzRelay relay(std::move(plan));
    TCustomSmtpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(QString::number(FuzzRelay::Port()));
    const std::uint16_t result = RunOneRequest(relay, client, [&] { client.Connect(); }, smtpConnect);

    // The greeting is the reply up to its first final line.
    std::optional<ReplyLine> greeting;
    qsizetype greetingBytes = 0;
    bool longLine = false;
    for (const ReplyLine& line : ReadReplyLines(stream)) {
        greetingBytes = line.end;
        longLine = longLine || line.text.size() >= 4000;
        if (line.final) {
            greeting = line;
            break;
        }
    }
    const bool accepted = greeting && greeting->code == 220;
    if (result == 0)
        FUZZ_CHECK(accepted && !stream.left(greetingBytes).contains('\0'),
                   "Connect succeeded without a 220 greeting");

    // Without a zero byte anywhere and with lines that fit, the outcome is decided by the code.
    // A line after the greeting answers nothing: read before the verdict is delivered, it turns
    // that verdict into the protocol error; read later, it changes nothing. Which of the two
    // happens depends on how the pieces arrive.
    const bool linesAfter = greeting && !ReadReplyLines(stream.mid(greetingBytes)).isEmpty();
    if (!stream.contains('\0') && !longLine && stream.size() < 4000) {
        const std::uint16_t verdict = accepted ? 0 : 10004;
        if (greeting && greeting->malformed)
            FUZZ_CHECK(result == kSmtpProtocolError, "a malformed greeting ends with %u, not 20600", result);
        else if (linesAfter)
            FUZZ_CHECK(result == verdict || result == kSmtpProtocolError, "greeting %s and more lines, result %u",
                       accepted ? "220" : "not 220", result);
        else
            FUZZ_CHECK(result == verdict, "greeting %s, result %u", accepted ? "220" : "not 220", result);
    }
    return 0;
}
