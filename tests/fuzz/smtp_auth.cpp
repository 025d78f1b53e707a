// SPDX-License-Identifier: Apache-2.0
// The sign-in exchange of the SMTP client (Open with AUTH on a loopback relay, where a password
// may travel without TLS): the relay's greeting, its EHLO reply and its AUTH challenges (LOGIN's
// prompts, CRAM-MD5's base64 challenge) come from the input. Whatever they are, the request ends
// once, as Open; the password never goes out as it is, and its encoded form at most once.
// Bits 4-5 of the first byte choose the mechanism setting: auto, PLAIN, LOGIN, CRAM-MD5.
#include "fuzz_check.h"
#include "smtp_relay.h"

#include <QRandomGenerator>

#include <cstddef>
#include <cstdint>
#include <optional>

using namespace kestravo::mail;
using namespace kestravo::fuzz;

namespace {

// A throwaway password for this process.
const QByteArray& Password()
{
    static const QByteArray pw = "pw-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    return pw;
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
    RelayPlan plan = ParsePlan(data, size, true);
    static constexpr TSmtpAuthType kTypes[] = {smtpAuthAutoSelect, smtpAuthPlain, smtpAuthLogin, smtpAuthCramMD5};
    const TSmtpAuthType type = size > 0 ? kTypes[(data[0] >> 4) & 3] : smtpAuthAutoSelect;

    FuzzRelay relay(std::move(plan));
    TCustomSmtpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(QString::number(FuzzRelay::Port()));
    client.SetSignOn(QStringLiteral("fuzz"));
    client.SetAuthType(type);
    client.SetUsername(QStringLiteral("fuzz@example.org"));
    client.SetPassword(Password());
    RunOneRequest(relay, client, [&] { client.Open(); }, smtpOpen);

    const QByteArray encoded = Password().toBase64();
    int encodedLines = 0;
    for (const QByteArray& line : relay.Received()) {
        FUZZ_CHECK(!line.contains(Password()), "the password went out as it is: %s", line.constData());
        if (line.contains(encoded))
            ++encodedLines;
    }
    FUZZ_CHECK(encodedLines <= 1, "the password went out %d times", encodedLines);
    return 0;
}
