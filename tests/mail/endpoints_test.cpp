// SPDX-License-Identifier: Apache-2.0
// Where a send goes: option values as the parsers take or refuse them, the order in which
// options, environment, configuration file and compiled-in values win, the settings file rewritten
// line for line, and the table of keys against the manual pages and the README.
#include "endpoints/endpoints.h"
#include "endpoints/settings_keys.h"
#include "tests/mail/settings_environment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

using namespace kestravo::mail;
using namespace kestravo::endpoints;

namespace {

using test::CleanEnvironment;
using test::Refusal;

struct OptionCase {
    const char* name;
    EndpointOptions options;
    // Expected on success: host, port, sender, gateway, timeout. On refusal: a part of the message.
    const char* host = nullptr;
    const char* port = nullptr;
    const char* sender = nullptr;
    const char* gateway = nullptr;
    int timeout = 0;
    const char* refusal = nullptr;
};

EndpointOptions Relay(const char* v) { return {QString::fromLatin1(v), {}, {}, {}}; }
EndpointOptions Sender(const char* v) { return {{}, QString::fromLatin1(v), {}, {}}; }
EndpointOptions Gateway(const char* v) { return {{}, {}, QString::fromLatin1(v), {}}; }
EndpointOptions Timeout(const char* v) { return {{}, {}, {}, QString::fromLatin1(v)}; }

// Addresses at and past the lengths SMTP allows.
const std::string kLongestAddressText = std::string(64, 'a') + "@" + std::string(189, 'd');
const std::string kAddressOnePastText = std::string(64, 'a') + "@" + std::string(190, 'd');
const std::string kAddress3000Text = std::string(64, 'a') + "@" + std::string(2935, 'd');
const std::string kLongestLocalPartText = std::string(64, 'b') + "@sbd.example";
const std::string kLocalPartOnePastText = std::string(65, 'b') + "@sbd.example";
const char* const kLongestAddress = kLongestAddressText.c_str();
const char* const kAddressOnePast = kAddressOnePastText.c_str();
const char* const kAddress3000 = kAddress3000Text.c_str();
const char* const kLongestLocalPart = kLongestLocalPartText.c_str();
const char* const kLocalPartOnePast = kLocalPartOnePastText.c_str();

const OptionCase kOptionCases[] = {
    {"nothing given is the compiled-in relay on the smtp service", {}, "localhost", "smtp", "kestravo@localhost",
     "data@sbd.iridium.com", 120},
    {"host alone", Relay("relay.example"), "relay.example", "smtp"},
    {"host and port", Relay("relay.example:2525"), "relay.example", "2525"},
    {"IPv4 and the highest port", Relay("127.0.0.1:65535"), "127.0.0.1", "65535"},
    {"IPv6 in brackets", Relay("[::1]:25"), "::1", "25"},
    {"IPv6 in brackets without port", Relay("[::1]"), "::1", "smtp"},
    {"port with letters after it", Relay("relay:25abc"), {}, {}, {}, {}, 0, "--relay: relay \"relay:25abc\": the port"},
    {"port 0", Relay("relay:0"), {}, {}, {}, {}, 0, "from 1 to 65535"},
    {"port 65536", Relay("relay:65536"), {}, {}, {}, {}, 0, "from 1 to 65535"},
    {"port 35263x", Relay("relay:35263x"), {}, {}, {}, {}, 0, "from 1 to 65535"},
    {"port of many digits", Relay("relay:99999999999999999999"), {}, {}, {}, {}, 0, "from 1 to 65535"},
    {"signed port", Relay("relay:+25"), {}, {}, {}, {}, 0, "from 1 to 65535"},
    {"empty port", Relay("relay:"), {}, {}, {}, {}, 0, "from 1 to 65535"},
    {"empty relay", Relay(""), {}, {}, {}, {}, 0, "has no host"},
    {"port without host", Relay(":25"), {}, {}, {}, {}, 0, "has no host"},
    {"blank around the host", Relay(" relay"), {}, {}, {}, {}, 0, "the host may hold only"},
    {"bare IPv6", Relay("::1"), {}, {}, {}, {}, 0, "brackets"},
    {"bracket not closed", Relay("[::1:25"), {}, {}, {}, {}, 0, "without \"]\""},
    {"timeout of one second", Timeout("1"), {}, {}, {}, {}, 1},
    {"timeout of a day", Timeout("86400"), {}, {}, {}, {}, 86400},
    {"timeout past a day", Timeout("86401"), {}, {}, {}, {}, 0, "--timeout: timeout \"86401\""},
    {"timeout that overflows milliseconds", Timeout("2147484"), {}, {}, {}, {}, 0, "from 1 to 86400"},
    {"timeout that overflows unsigned milliseconds", Timeout("4294968"), {}, {}, {}, {}, 0, "from 1 to 86400"},
    {"timeout in exponent form", Timeout("1e3"), {}, {}, {}, {}, 0, "from 1 to 86400"},
    {"timeout with letters", Timeout("5abc"), {}, {}, {}, {}, 0, "from 1 to 86400"},
    {"timeout 0", Timeout("0"), {}, {}, {}, {}, 0, "from 1 to 86400"},
    {"negative timeout", Timeout("-5"), {}, {}, {}, {}, 0, "from 1 to 86400"},
    {"sender", Sender("ops@example.org"), {}, {}, "ops@example.org"},
    {"gateway", Gateway("data@sbd.example"), {}, {}, {}, "data@sbd.example"},
    {"sender without @", Sender("ops.example.org"), {}, {}, {}, {}, 0, "--from: address \"ops.example.org\" has no \"@\""},
    {"sender with CR LF", Sender("a@b\r\nBcc: x@y"), {}, {}, {}, {}, 0, "--from: address \"a@b\\r\\nBcc"},
    {"sender with a blank", Sender("a b@c"), {}, {}, {}, {}, 0, "a blank"},
    {"sender with angle brackets", Sender("a@b>"), {}, {}, {}, {}, 0, "holds \">\""},
    {"gateway list", Gateway("a@b,c@d"), {}, {}, {}, {}, 0, "--to: address \"a@b,c@d\" holds \",\""},
    {"gateway with a tab", Gateway("a@b\t"), {}, {}, {}, {}, 0, "a blank, a control"},
    {"gateway with two @", Gateway("a@b@c"), {}, {}, {}, {}, 0, "name@domain"},
    {"gateway with nothing after @", Gateway("a@"), {}, {}, {}, {}, 0, "name@domain"},
    {"empty gateway", Gateway(""), {}, {}, {}, {}, 0, "empty"},
    {"sender of the longest path", Sender(kLongestAddress), {}, {}, kLongestAddress},
    {"sender one past the longest path", Sender(kAddressOnePast), {}, {}, {}, {}, 0,
     "--from: address \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"... is 255 characters long; SMTP allows at most 254"},
    {"sender of 3,000 characters", Sender(kAddress3000), {}, {}, {}, {}, 0, "is 3000 characters long"},
    {"gateway with the longest name", Gateway(kLongestLocalPart), {}, {}, {}, kLongestLocalPart},
    {"gateway with a name one past the longest", Gateway(kLocalPartOnePast), {}, {}, {}, {}, 0,
     "--to: address \"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb\"... has a name of 65 characters before \"@\""},
};

} // namespace

TEST(Endpoints, OptionValues)
{
    CleanEnvironment env;
    for (const OptionCase& c : kOptionCases) {
        SCOPED_TRACE(c.name);
        if (c.refusal) {
            const std::string message = Refusal(c.options);
            EXPECT_NE(message.find(c.refusal), std::string::npos) << "refusal: \"" << message << '"';
            continue;
        }
        Endpoints e;
        ASSERT_NO_THROW(e = ResolveEndpoints(c.options));
        if (c.host)
            EXPECT_EQ(e.relayHost.toStdString(), c.host);
        if (c.port)
            EXPECT_EQ(e.relayPort.toStdString(), c.port);
        if (c.sender)
            EXPECT_EQ(e.sender.toStdString(), c.sender);
        if (c.gateway)
            EXPECT_EQ(e.gateway.toStdString(), c.gateway);
        if (c.timeout)
            EXPECT_EQ(e.timeoutSeconds, c.timeout);
    }
}

TEST(Endpoints, OptionsBeatTheEnvironmentWhichBeatsTheFile)
{
    CleanEnvironment env;
    env.WriteConfig("relay=file.example:2525\nsender=file@example.org\ngateway=file-gw@example.org\n"
                    "timeout=30\nhistory=off\n");
    Endpoints e = ResolveEndpoints();
    EXPECT_EQ(e.relayHost, QStringLiteral("file.example"));
    EXPECT_EQ(e.relayPort, QStringLiteral("2525"));
    EXPECT_EQ(e.sender, QStringLiteral("file@example.org"));
    EXPECT_EQ(e.gateway, QStringLiteral("file-gw@example.org"));
    EXPECT_EQ(e.timeoutSeconds, 30);
    EXPECT_FALSE(e.historyEnabled);

    qputenv("KESTRAVO_RELAY", "env.example");
    qputenv("KESTRAVO_SENDER", "env@example.org");
    qputenv("KESTRAVO_HISTORY", "on");
    e = ResolveEndpoints();
    EXPECT_EQ(e.relayHost, QStringLiteral("env.example"));
    EXPECT_EQ(e.relayPort, QStringLiteral("smtp"));
    EXPECT_EQ(e.sender, QStringLiteral("env@example.org"));
    EXPECT_EQ(e.gateway, QStringLiteral("file-gw@example.org"));
    EXPECT_TRUE(e.historyEnabled);

    e = ResolveEndpoints({QStringLiteral("opt.example:26"), {}, {}, QStringLiteral("5")});
    EXPECT_EQ(e.relayHost, QStringLiteral("opt.example"));
    EXPECT_EQ(e.relayPort, QStringLiteral("26"));
    EXPECT_EQ(e.timeoutSeconds, 5);
}

TEST(Endpoints, RefusalsNameTheVariableOrTheFileAndKey)
{
    CleanEnvironment env;
    const QString path = env.WriteConfig("relay=relay:25abc\ngateway=a@b, c@d\nhistory=maybe\n");
    const std::string fileRelay = Refusal({});
    EXPECT_EQ(fileRelay.rfind((path + " [mail] relay: ").toStdString(), 0), 0u) << fileRelay;

    qputenv("KESTRAVO_RELAY", "relay:0");
    EXPECT_EQ(Refusal({}).rfind("KESTRAVO_RELAY: ", 0), 0u) << Refusal({});
    qputenv("KESTRAVO_RELAY", "relay");
    // INI reads "a@b, c@d" as a list; it is refused as written, not taken as its first entry.
    EXPECT_EQ(Refusal({}).rfind((path + " [mail] gateway: ").toStdString(), 0), 0u) << Refusal({});
    qputenv("KESTRAVO_GATEWAY", "gw@example.org");
    EXPECT_NE(Refusal({}).find("[mail] history: \"maybe\""), std::string::npos) << Refusal({});
    qputenv("KESTRAVO_TIMEOUT", "4294968");
    EXPECT_EQ(Refusal({}).rfind("KESTRAVO_TIMEOUT: ", 0), 0u) << Refusal({});
}

TEST(Endpoints, AConfigurationPathThatIsNoFileIsRefusedWithoutReadingIt)
{
    CleanEnvironment env;
    QDir(env.config.path()).mkpath(QStringLiteral("kestravo/kestravo.conf"));
    EXPECT_NE(Refusal({}).find("is not a regular file"), std::string::npos) << Refusal({});
}

namespace {

// A settings file as written, and either the relay it gives or the start of its refusal after
// the file's path (":LINE ..." or " ...").
struct SettingsFileCase {
    const char* name;
    QByteArray bytes;
    const char* relay = nullptr;
    const char* refusal = nullptr;
};

QByteArray RandomBytes()
{
    // The same bytes every run: a small linear congruential sequence, NUL bytes and all.
    QByteArray bytes;
    quint32 state = 20261210;
    for (int i = 0; i < 512; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes.append(char(state >> 24));
    }
    return bytes;
}

const SettingsFileCase kSettingsFileCases[] = {
    {"comments, blank lines, CR LF and a byte-order mark are read",
     "\xEF\xBB\xBF; kestravo\r\n\r\n# relay below\r\n[ mail ] ; where mail goes\r\nrelay = file.example:2525\r\n",
     "file.example"},
    {"keys other parts of the program read are known, not refused",
     "[mail]\nrelay=k.example\nsecurity=starttls\nuser=ops\nauth=plain\n"
     "password_command=pass show relay\ntransport=email\n[directip]\nhost=gw.example\nport=10800\n",
     "k.example"},
    {"no file content at all keeps the compiled-in relay", "", "localhost"},
    {"random bytes", RandomBytes(), nullptr, ":1: the line is not UTF-8 text"},
    {"Latin-1 in a comment on line 3", "[mail]\nrelay=a\n; caf\xE9\n", nullptr, ":3: the line is not UTF-8 text"},
    {"a sequence cut short at the end of line 2", "[mail]\nrelay=a\xE2\x82", nullptr, ":2: the line is not UTF-8 text"},
    {"a NUL byte in a line", QByteArray("[mail]\nrelay=a\0b\n", 17), nullptr, ":2: the line holds a control character"},
    {"relay given twice", "[mail]\nrelay=one.example\nsender=a@b\nrelay=two.example\n", nullptr,
     ":4 [mail] relay: the key is given twice (first on line 2)"},
    {"section given twice", "[mail]\nrelay=one.example\n[mail]\nsender=a@b\n", nullptr,
     ":3: section [mail] is given twice (first on line 1)"},
    {"section in another case", "[Mail]\nrelay=one.example\n", nullptr,
     ":1: section [Mail] is written [mail]"},
    {"key in another case", "[mail]\nRelay=one.example\n", nullptr,
     ":2 [mail] Relay: the key is written \"Relay\"; keys are lower case: relay"},
    {"unknown key", "[mail]\nrelai=one.example\n", nullptr, ":2 [mail] relai: unknown key; [mail] takes relay,"},
    {"key of another section", "[directip]\nrelay=one.example\n", nullptr, ":2 [directip] relay: unknown key"},
    {"unknown section", "[general]\nrelay=one.example\n", nullptr, ":1: unknown section \"[general]\""},
    {"key before any section", "relay=one.example\n[mail]\n", nullptr, ":1: key \"relay\" comes before any section"},
    {"a line that is no setting", "[mail]\nrelay one.example\n", nullptr,
     ":2: \"relay one.example\" is neither [section], key=value nor a comment"},
    {"section header not closed", "[mail\nrelay=x\n", nullptr, ":1: \"[mail\" is not a section header"},
    {"a password in the file", "[mail]\npassword=throwaway\n", nullptr,
     ":2 [mail] password: passwords are not kept in this file: store it in the keyring"},
    {"a password in another case", "[mail]\nrelay=one.example\nPassWord = throwaway\n", nullptr,
     ":3 [mail] PassWord: passwords are not kept in this file"},
};

} // namespace

TEST(Endpoints, SettingsFilesAreReadStrictly)
{
    CleanEnvironment env;
    for (const SettingsFileCase& c : kSettingsFileCases) {
        SCOPED_TRACE(c.name);
        const QString path = env.WriteConfigFile(c.bytes);
        if (c.relay) {
            Endpoints e;
            ASSERT_NO_THROW(e = ResolveEndpoints()) << Refusal({});
            EXPECT_EQ(e.relayHost.toStdString(), c.relay);
            continue;
        }
        const std::string message = Refusal({});
        EXPECT_EQ(message.rfind((path + QString::fromUtf8(c.refusal)).toStdString(), 0), 0u) << message;
        // A refusal never shows the value of a password line.
        EXPECT_EQ(message.find("throwaway"), std::string::npos) << message;
    }
}

// The way to the gateway and the DirectIP gateway, under the same precedence and strictness.
TEST(Endpoints, TransportAndDirectIpGateway)
{
    const struct {
        const char* name;
        QString via;             // --via
        QString directip;        // --directip
        const char* transportEnv; // KESTRAVO_TRANSPORT (nullptr: unset)
        const char* directipEnv;  // KESTRAVO_DIRECTIP
        QByteArray file;          // after "[mail]\n"
        Transport transport;
        const char* host;
        const char* port;
        const char* refusal;     // a part of the refusal, or nullptr
    } cases[] = {
        {"nothing given: e-mail, no gateway", {}, {}, nullptr, nullptr, "", Transport::Email, "", "10800", nullptr},
        {"option with host and port", QStringLiteral("directip"), QStringLiteral("gw.example:10900"), nullptr, nullptr, "",
         Transport::DirectIp, "gw.example", "10900", nullptr},
        {"variable host alone: port 10800", {}, {}, "directip", "gw.example", "", Transport::DirectIp, "gw.example", "10800",
         nullptr},
        {"file section [directip]", {}, {}, nullptr, nullptr, "transport=directip\n[directip]\nhost=gw.example\nport=10801\n",
         Transport::DirectIp, "gw.example", "10801", nullptr},
        {"option over variable over file", QStringLiteral("email"), {}, "directip", "env.example",
         "transport=directip\n[directip]\nhost=file.example\n", Transport::Email, "env.example", "10800", nullptr},
        {"IPv6 gateway", QStringLiteral("directip"), QStringLiteral("[::1]:10800"), nullptr, nullptr, "", Transport::DirectIp,
         "::1", "10800", nullptr},
        {"unknown way", QStringLiteral("smtp"), {}, nullptr, nullptr, "", Transport::Email, "", "", "--via: transport \"smtp\""},
        {"way in capitals", {}, {}, "DirectIP", "gw.example", "", Transport::Email, "", "", "KESTRAVO_TRANSPORT: transport"},
        {"DirectIP without a gateway", QStringLiteral("directip"), {}, nullptr, nullptr, "", Transport::Email, "", "",
         "DirectIP needs the gateway's host"},
        {"gateway port 0", {}, QStringLiteral("gw:0"), nullptr, nullptr, "", Transport::Email, "", "",
         "--directip: gateway \"gw:0\": the port"},
        {"file port out of range", {}, {}, nullptr, nullptr, "[directip]\nhost=gw\nport=70000\n", Transport::Email, "", "",
         "[directip] port: port \"70000\""},
        {"file host with a port", {}, {}, nullptr, nullptr, "[directip]\nhost=gw:10800\n", Transport::Email, "", "",
         "[directip] host: host \"gw:10800\": the port goes in the key port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CleanEnvironment env;
        if (c.transportEnv)
            qputenv("KESTRAVO_TRANSPORT", c.transportEnv);
        if (c.directipEnv)
            qputenv("KESTRAVO_DIRECTIP", c.directipEnv);
        env.WriteConfig(c.file);
        EndpointOptions options;
        options.transport = c.via;
        options.directip = c.directip;
        if (c.refusal) {
            EXPECT_NE(Refusal(options).find(c.refusal), std::string::npos) << Refusal(options);
            continue;
        }
        const Endpoints e = ResolveEndpoints(options);
        EXPECT_EQ(e.transport, c.transport);
        EXPECT_EQ(e.directipHost, QString::fromLatin1(c.host));
        EXPECT_EQ(e.directipPort, QString::fromLatin1(c.port));
    }
}

// Regression: one digit above a bound below 10 passed the in-loop check ((5 - 6) / 10 is 0).
TEST(Endpoints, WholeNumberHoldsASmallUpperBound)
{
    qint64 v = 0;
    EXPECT_TRUE(ParseWholeNumber(QStringLiteral("5"), 1, 5, v));
    EXPECT_EQ(v, 5);
    for (const char* text : {"6", "9", "0", "10"})
        EXPECT_FALSE(ParseWholeNumber(QString::fromLatin1(text), 1, 5, v)) << text;
}

// [directip] parallel: how many DirectIP messages go at once, under the same precedence.
TEST(Endpoints, DirectIpParallel)
{
    const struct {
        const char* name;
        QString option;
        const char* variable;
        QByteArray file; // the [directip] lines
        int parallel;
        const char* refusal;
    } cases[] = {
        {"nothing given", {}, nullptr, "", 4, nullptr},
        {"the file", {}, nullptr, "parallel=12\n", 12, nullptr},
        {"the variable over the file", {}, "32", "parallel=12\n", 32, nullptr},
        {"the option over both", QStringLiteral("1"), "32", "parallel=12\n", 1, nullptr},
        {"none at once", QStringLiteral("0"), nullptr, "", 0, "--parallel: parallel \"0\" is not a whole number from 1 to 32"},
        {"past 32", {}, "33", "", 0, "KESTRAVO_DIRECTIP_PARALLEL: parallel \"33\""},
        {"with a sign", {}, nullptr, "parallel=+4\n", 0, "[directip] parallel: parallel \"+4\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CleanEnvironment env;
        if (c.variable)
            qputenv("KESTRAVO_DIRECTIP_PARALLEL", c.variable);
        env.WriteConfigFile("[directip]\n" + c.file);
        EndpointOptions options;
        options.parallel = c.option;
        if (c.refusal) {
            EXPECT_NE(Refusal(options).find(c.refusal), std::string::npos) << Refusal(options);
            continue;
        }
        EXPECT_EQ(ResolveEndpoints(options).directipParallel, c.parallel);
    }
}

// Control characters in a value are written out in the refusal, never cut short at a NUL.
TEST(Endpoints, ControlCharactersInRefusalsAreEscapedWhole)
{
    CleanEnvironment env;
    EndpointOptions options;
    static constexpr char kText[] = "3\0" "0\n\x1b[1m";
    options.timeout = QString::fromUtf8(kText, sizeof kText - 1);
    EXPECT_EQ(Refusal(options), "--timeout: timeout \"3\\x000\\n\\x1B[1m\" is not a whole number of seconds from 1 to 86400");
}

// The settings file rewritten by the dialog: only the changed lines change.
TEST(Endpoints, RewritingTheSettingsKeepsEveryOtherLine)
{
    const QByteArray file = "\xEF\xBB\xBF; ours\r\n[mail]\r\nrelay = a.example\r\n\r\n# end of mail\r\n[directip]\r\nhost=gw\r\n";
    const struct {
        const char* name;
        QByteArray before;
        std::vector<SettingChange> changes;
        QByteArray after;
    } cases[] = {
        {"nothing changed", file, {}, file},
        {"a value changed in place, CR LF and BOM kept", file,
         {{QStringLiteral("mail"), QStringLiteral("relay"), QStringLiteral("b.example:2525")}},
         "\xEF\xBB\xBF; ours\r\n[mail]\r\nrelay = b.example:2525\r\n\r\n# end of mail\r\n[directip]\r\nhost=gw\r\n"},
        {"a new key after the last key of its section", file,
         {{QStringLiteral("mail"), QStringLiteral("timeout"), QStringLiteral("30")}},
         "\xEF\xBB\xBF; ours\r\n[mail]\r\nrelay = a.example\r\ntimeout=30\r\n\r\n# end of mail\r\n[directip]\r\nhost=gw\r\n"},
        {"a key taken out", file, {{QStringLiteral("directip"), QStringLiteral("host"), QString()}},
         "\xEF\xBB\xBF; ours\r\n[mail]\r\nrelay = a.example\r\n\r\n# end of mail\r\n[directip]\r\n"},
        {"a new section at the end", "[mail]\nrelay=a\n",
         {{QStringLiteral("directip"), QStringLiteral("port"), QStringLiteral("10900")}},
         "[mail]\nrelay=a\n\n[directip]\nport=10900\n"},
        {"an empty file", "", {{QStringLiteral("mail"), QStringLiteral("history"), QStringLiteral("off")}},
         "[mail]\nhistory=off\n"},
        {"a value Qt would read otherwise is written as Qt reads it", "[mail]\n",
         {{QStringLiteral("mail"), QStringLiteral("password_command"), QStringLiteral("pass show a,b ; c")}},
         "[mail]\npassword_command=\"pass show a,b ; c\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray after = RewriteSettingsText(c.before, c.changes);
        EXPECT_EQ(after.toStdString(), c.after.toStdString());
        // What Qt's reader, which a send uses, gives back is each changed value exactly.
        CleanEnvironment env;
        const QString path = env.WriteConfigFile(after);
        ASSERT_NO_THROW(CheckSettingsFile(path));
        const QSettings read(path, QSettings::IniFormat);
        for (const SettingChange& change : c.changes)
            EXPECT_EQ(SettingsFileValue(read, change.section.toLatin1().constData(), change.key.toLatin1().constData()),
                      change.value);
    }
}

// The table of keys: each section/key once, each variable and option once (but for the key given
// with another), every one of them refused in another way when malformed.
TEST(SettingsKeys, EachKeyVariableAndOptionOnce)
{
    std::set<std::string> keys, variables, options;
    for (const SettingKey& key : SettingKeys()) {
        EXPECT_TRUE(keys.insert(std::string(key.section) + "/" + key.key).second) << key.key;
        EXPECT_EQ(FindSettingKey(QLatin1String(key.section), QLatin1String(key.key)), &key);
        if (key.givenWith) {
            const SettingKey* with = FindSettingKey(QLatin1String(key.section), QLatin1String(key.givenWith));
            ASSERT_NE(with, nullptr) << key.key;
            EXPECT_STREQ(with->variable, key.variable);
            EXPECT_STREQ(with->option, key.option);
            continue;
        }
        ASSERT_NE(key.variable, nullptr) << key.key;
        EXPECT_TRUE(variables.insert(key.variable).second) << key.variable;
        if (key.option) {
            EXPECT_TRUE(options.insert(key.option).second) << key.option;
            EXPECT_NE(key.given, nullptr) << key.option;
        }
        EXPECT_TRUE(key.help && *key.help && key.defaultText && key.valueName) << key.key;
    }
}

namespace {

QString SourceText(const char* relative)
{
    QFile file(QStringLiteral(KESTRAVO_SOURCE_DIR "/") + QLatin1String(relative));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << relative;
    return QString::fromUtf8(file.readAll());
}

// The text from the line that starts with `from` to the next line that starts with `to`.
QString Between(const QString& text, const QString& from, const QString& to)
{
    const qsizetype start = text.indexOf(u'\n' + from);
    const qsizetype end = start < 0 ? -1 : text.indexOf(u'\n' + to, start + 1);
    EXPECT_GE(start, 0) << from.toStdString();
    return start < 0 ? QString() : text.mid(start, end < 0 ? -1 : end - start);
}

std::set<std::string> Variables(const QString& text)
{
    std::set<std::string> names;
    static const QRegularExpression variable(QStringLiteral("KESTRAVO_[A-Z_]+"));
    for (const QRegularExpressionMatch& m : variable.globalMatch(text))
        names.insert(m.captured().toStdString());
    return names;
}

} // namespace

// The manual pages and the README name the table's variables and keys, and no others.
TEST(SettingsKeys, ManualPagesAndReadmeFollowTheTable)
{
    std::set<std::string> variables;
    std::map<std::string, std::set<std::string>> sections;
    for (const SettingKey& key : SettingKeys()) {
        variables.insert(key.variable);
        sections[key.section].insert(key.key);
    }
    for (const char* page : {"packaging/kestravo.1.in", "packaging/kestravo-record.1.in"}) {
        SCOPED_TRACE(page);
        const QString text = SourceText(page);
        EXPECT_EQ(Variables(Between(text, QStringLiteral(".SH ENVIRONMENT"), QStringLiteral(".SH "))), variables);
        // Every key is named in the part on the settings file, in bold.
        const QString files = Between(text, QStringLiteral(".SH FILES"), QStringLiteral(".TP\n.I $XDG_DATA_HOME"));
        for (const auto& [section, keys] : sections) {
            EXPECT_TRUE(files.contains(QStringLiteral("[%1]").arg(QString::fromStdString(section)))) << section;
            for (const std::string& key : keys) {
                const QRegularExpression bold(
                    QStringLiteral("\\n\\.BR? %1( |,|\\.|\\n)").arg(QRegularExpression::escape(QString::fromStdString(key))));
                EXPECT_TRUE(bold.match(files).hasMatch()) << key;
            }
        }
    }
    // The README's sentence on the keys the file knows: "The file knows the sections `[mail]`
    // (`relay`, ...) and `[directip]` (...)."
    const QString readme = SourceText("README.md");
    const qsizetype start = readme.indexOf(QStringLiteral("The file knows the sections"));
    ASSERT_GE(start, 0);
    const QString sentence = readme.mid(start, readme.indexOf(QStringLiteral(").\n"), start) + 1 - start);
    std::map<std::string, std::set<std::string>> listed;
    static const QRegularExpression part(QStringLiteral("`\\[([a-z]+)\\]` \\(([^)]*)\\)"));
    for (const QRegularExpressionMatch& m : part.globalMatch(sentence)) {
        static const QRegularExpression name(QStringLiteral("`([a-z_]+)`"));
        for (const QRegularExpressionMatch& k : name.globalMatch(m.captured(2)))
            listed[m.captured(1).toStdString()].insert(k.captured(1).toStdString());
    }
    EXPECT_EQ(listed, sections) << sentence.toStdString();
    // Its list of variables names each of the table's.
    const QString where = Between(readme, QStringLiteral("2. the environment"), QStringLiteral("3. the settings file"));
    EXPECT_EQ(Variables(where), variables);
}
