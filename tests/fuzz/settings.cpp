// SPDX-License-Identifier: Apache-2.0
// The parsers of the relay, deadline and addresses (shared by options, variables and the settings
// file) against arbitrary text, and the settings file itself read from fuzzed bytes. A value is
// either refused with a message naming its source or comes out fit to send: a host and a port in
// range, a deadline in range, an address with "@", nothing that could break a header line and no
// longer than SMTP allows. A settings file is read whole or refused naming the file.
#include "fuzz_app.h"
#include "fuzz_check.h"
#include "endpoints/endpoints.h"
#include "endpoints/settings_keys.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

using namespace kestravo::endpoints;

namespace {

bool HeaderSafe(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x21 || c.unicode() > 0x7E || c == u'<' || c == u'>' || c == u',')
            return false;
    return true;
}

// Digits only, leading zeros allowed; the value is kept while it fits (larger ones are out of
// every range checked here).
bool WholeDecimal(const QString& text, int& value)
{
    if (text.isEmpty())
        return false;
    value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
        value = value > 100000000 ? 1000000000 : value * 10 + (c.unicode() - u'0');
    }
    return true;
}

void CheckRelay(const QString& text)
{
    try {
        const auto [host, port] = ParseRelay(text, QStringLiteral("fuzz"));
        FUZZ_CHECK(!host.isEmpty(), "empty host taken from a relay text");
        if (port != QLatin1String("smtp")) {
            int number = 0;
            FUZZ_CHECK(WholeDecimal(port, number) && number >= 1 && number <= 65535, "port %s taken",
                       port.toUtf8().constData());
        }
        for (QChar c : host)
            FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F, "control character in host");
    } catch (const EndpointError& refused) {
        FUZZ_CHECK(QByteArray(refused.what()).contains("fuzz"), "refusal names no source: %s", refused.what());
    }
}

void CheckTimeout(const QString& text)
{
    int expected = 0;
    const bool fits = WholeDecimal(text, expected) && expected >= 1 && expected <= 86400;
    try {
        const int seconds = ParseTimeoutSeconds(text, QStringLiteral("fuzz"));
        FUZZ_CHECK(fits && seconds == expected, "timeout \"%s\" read as %d", text.toUtf8().constData(), seconds);
    } catch (const EndpointError& refused) {
        FUZZ_CHECK(!fits, "timeout \"%s\" refused: %s", text.toUtf8().constData(), refused.what());
    }
}

void CheckAddress(const QString& text)
{
    try {
        const QString address = ParseAddress(text, QStringLiteral("fuzz"));
        FUZZ_CHECK(address.contains(u'@'), "address without @ taken");
        FUZZ_CHECK(HeaderSafe(address), "address that breaks a header taken: %s", address.toUtf8().constData());
        FUZZ_CHECK(address.size() <= 254 && address.indexOf(u'@') <= 64, "address longer than SMTP allows taken");
    } catch (const EndpointError& refused) {
        FUZZ_CHECK(QByteArray(refused.what()).contains("fuzz"), "refusal names no source: %s", refused.what());
    }
}

// A private configuration folder for the whole run; the variables would take precedence.
const QString& ConfigFile()
{
    static std::unique_ptr<QTemporaryDir> folder;
    static QString file;
    if (!folder) {
        folder = std::make_unique<QTemporaryDir>();
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(folder->path()).constData(), 1);
        for (const kestravo::endpoints::SettingKey& key : kestravo::endpoints::SettingKeys())
            if (key.variable)
                ::unsetenv(key.variable);
        QDir(folder->path()).mkpath(QStringLiteral("kestravo"));
        file = folder->path() + QStringLiteral("/kestravo/kestravo.conf");
    }
    return file;
}

void CheckSettingsFile(const QByteArray& bytes)
{
    QFile out(ConfigFile());
    FUZZ_CHECK(out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == bytes.size(),
               "cannot write the settings file");
    out.close();
    try {
        const Endpoints endpoints = ResolveEndpoints();
        FUZZ_CHECK(!endpoints.relayHost.isEmpty(), "empty relay host from the settings file");
        FUZZ_CHECK(endpoints.timeoutSeconds >= 1 && endpoints.timeoutSeconds <= 86400, "timeout %d",
                   endpoints.timeoutSeconds);
        FUZZ_CHECK(HeaderSafe(endpoints.sender) && HeaderSafe(endpoints.gateway), "unsafe address from the file");
    } catch (const EndpointError& refused) {
        FUZZ_CHECK(QByteArray(refused.what()).contains("kestravo.conf"), "refusal names no file: %s", refused.what());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kestravo::fuzz::EnsureApplication();

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // The first byte chooses between the single values and a whole settings file.
    if (size > 0 && (data[0] & 1) != 0) {
        CheckSettingsFile(bytes.mid(1));
        return 0;
    }
    const QString text = QString::fromUtf8(bytes.mid(1));
    CheckRelay(text);
    CheckTimeout(text);
    CheckAddress(text);
    return 0;
}
