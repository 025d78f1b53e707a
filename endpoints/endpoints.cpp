// SPDX-License-Identifier: Apache-2.0
// Endpoints of a send from options, environment, configuration file and compiled-in values, by
// the table of settings keys.
#include "endpoints/endpoints.h"

#include "endpoints/settings_keys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>
#include <QStringList>
#include <QTemporaryDir>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <map>
#include <memory>
#include <tuple>
#include <vector>

namespace kestravo::endpoints {

namespace {

[[noreturn]] void Refuse(const QString& source, const QString& what)
{
    throw EndpointError((source + QStringLiteral(": ") + what).toStdString());
}

// The start of a text too long to show whole.
QString QuotedStart(const QString& text)
{
    constexpr qsizetype kShown = 40;
    return text.size() <= kShown ? Quoted(text) : Quoted(text.left(kShown)) + QStringLiteral("...");
}

constexpr qsizetype kMaxAddressLength = 254;
constexpr qsizetype kMaxLocalPartLength = 64;

bool IsHostNameChar(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' ||
           c == u'.' || c == u'_';
}

bool IsIpv6Char(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') || c == u':' ||
           c == u'.';
}

// The sections of the file in the order the table first names them, each with its keys.
struct KnownSection {
    QString name;
    QStringList keys;
};
const std::vector<KnownSection>& KnownSections()
{
    static const std::vector<KnownSection> sections = [] {
        std::vector<KnownSection> list;
        for (const SettingKey& key : SettingKeys()) {
            auto it = std::find_if(list.begin(), list.end(),
                                   [&](const KnownSection& s) { return s.name == QLatin1String(key.section); });
            if (it == list.end())
                it = list.insert(list.end(), {QLatin1String(key.section), {}});
            it->keys << QLatin1String(key.key);
        }
        return list;
    }();
    return sections;
}

// No settings file comes near this; a larger one is something else put at that path.
constexpr qint64 kMaxSettingsBytes = 1024 * 1024;

const KnownSection* FindSection(const QString& name)
{
    for (const KnownSection& section : KnownSections())
        if (name == section.name)
            return &section;
    return nullptr;
}

// The spelling of a known name that differs from text only in case, or null.
QString OtherCase(const QString& text, const QStringList& names)
{
    for (const QString& name : names)
        if (text.compare(name, Qt::CaseInsensitive) == 0)
            return name;
    return QString();
}

QString SectionList(const QString& last)
{
    QStringList names;
    for (const KnownSection& known : KnownSections())
        names << u'[' + known.name + u']';
    const QString tail = names.takeLast();
    return names.isEmpty() ? tail : names.join(QStringLiteral(", ")) + u' ' + last + u' ' + tail;
}

// The number of the first line of bytes that is not UTF-8 (a BOM already taken off).
int FirstNonUtf8Line(const QByteArray& bytes)
{
    int number = 1;
    for (qsizetype start = 0; start <= bytes.size();) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        // The line break after it makes a sequence cut short at the line's end an error too.
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = utf8.decode(bytes.mid(start, end - start) + '\n'); // decodes only when read
        if (utf8.hasError())
            return number;
        start = end + 1;
        ++number;
    }
    return number;
}

// A look at the file line by line before Qt reads it: Qt's INI reader takes nearly any bytes
// without complaint, ignores keys in another case and lets the last of two equal keys win, so
// what it would silently guess at is refused here with the line that holds it.
void CheckSettingsLines(const QString& path, const QByteArray& bytes)
{
    QByteArray text = bytes;
    if (text.startsWith("\xEF\xBB\xBF"))
        text.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(text);
    const auto at = [&path](int line) { return path + u':' + QString::number(line); };
    if (utf8.hasError())
        Refuse(at(FirstNonUtf8Line(text)), QStringLiteral("the line is not UTF-8 text, so this is not a settings file"));

    const KnownSection* section = nullptr;
    QString sectionName;
    std::map<QString, int> sectionLines; // section -> line it opens on
    std::map<QString, int> keyLines;     // key of the current section -> its line
    const QStringList lines = decoded.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = int(i) + 1;
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1);
        for (QChar c : line)
            if ((c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7F)
                Refuse(at(number), QStringLiteral("the line holds a control character; not a settings file"));
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#'))
            continue;
        if (trimmed.startsWith(u'[')) {
            // "[name]", optionally followed by a "; comment".
            const qsizetype close = trimmed.indexOf(u']');
            const QString after = close < 0 ? QString() : trimmed.mid(close + 1).trimmed();
            if (close < 0 || (!after.isEmpty() && !after.startsWith(u';')))
                Refuse(at(number), QStringLiteral("%1 is not a section header [NAME]").arg(Quoted(trimmed)));
            sectionName = trimmed.mid(1, close - 1).trimmed();
            section = FindSection(sectionName);
            if (!section) {
                for (const KnownSection& known : KnownSections())
                    if (sectionName.compare(known.name, Qt::CaseInsensitive) == 0)
                        Refuse(at(number), QStringLiteral("section [%1] is written [%2]; section names are lower case")
                                               .arg(sectionName, known.name));
                Refuse(at(number), QStringLiteral("unknown section %1; the file holds only %2")
                                       .arg(Quoted(trimmed), SectionList(QStringLiteral("and"))));
            }
            if (const auto [it, inserted] = sectionLines.emplace(sectionName, number); !inserted)
                Refuse(at(number), QStringLiteral("section [%1] is given twice (first on line %2)")
                                       .arg(sectionName)
                                       .arg(it->second));
            keyLines.clear();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            Refuse(at(number), QStringLiteral("%1 is neither [section], key=value nor a comment").arg(Quoted(trimmed)));
        const QString key = line.left(equals).trimmed();
        if (!section)
            Refuse(at(number), QStringLiteral("key %1 comes before any section; keys go under %2")
                                   .arg(Quoted(key), SectionList(QStringLiteral("or"))));
        // "FILE:LINE [section] key", so the message names the line and the setting alike.
        const QString keyAt = at(number) + QStringLiteral(" [") + sectionName + QStringLiteral("] ") + key;
        if (sectionName == u"mail" && key.compare(u"password", Qt::CaseInsensitive) == 0)
            Refuse(keyAt, QStringLiteral("passwords are not kept in this file: store it in the keyring with "
                                         "\"kestravo-record password set\", or name a command that prints it "
                                         "with password_command"));
        if (!section->keys.contains(key)) {
            const QString spelling = OtherCase(key, section->keys);
            if (!spelling.isNull())
                Refuse(keyAt, QStringLiteral("the key is written %1; keys are lower case: %2").arg(Quoted(key), spelling));
            Refuse(keyAt, QStringLiteral("unknown key; [%1] takes %2").arg(sectionName, section->keys.join(QStringLiteral(", "))));
        }
        if (const auto [it, inserted] = keyLines.emplace(key, number); !inserted)
            Refuse(keyAt, QStringLiteral("the key is given twice (first on line %1); which one is meant is not guessed")
                       .arg(it->second));
    }
}

// Why path cannot serve as trusted CA certificates, or a null string. Read as the TLS layer
// loads it (OpenSSL's PEM reader, certificates and revocation lists), so that a file the
// connection would refuse is refused before any connection.
QString CertificateFileProblem(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot be read (%1)").arg(file.errorString());
    constexpr qint64 kMaxCaBytes = 16 * 1024 * 1024;
    const QByteArray bytes = file.read(kMaxCaBytes + 1);
    if (bytes.size() > kMaxCaBytes)
        return QStringLiteral("is larger than 16 MiB, so not a file of CA certificates");
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())), &BIO_free);
    if (!bio)
        return QStringLiteral("cannot be read: out of memory");
    ERR_clear_error();
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr);
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (!infos) {
        char reason[256] = {};
        ERR_error_string_n(error, reason, sizeof reason);
        return QStringLiteral("cannot be read as PEM certificates (%1)").arg(QString::fromLatin1(reason));
    }
    int usable = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509 || info->crl)
            ++usable;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    if (usable == 0)
        return QStringLiteral("holds no PEM certificate (no \"-----BEGIN CERTIFICATE-----\" block)");
    return QString();
}

// The parsers of the table's rows: each reads one value and stores it.

void ParseRelayKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    std::tie(e.relayHost, e.relayPort) = ParseRelay(text, source);
}

void ParseSenderKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    e.sender = ParseAddress(text, source);
}

void ParseGatewayKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    e.gateway = ParseAddress(text, source);
}

void ParseTimeoutKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    e.timeoutSeconds = ParseTimeoutSeconds(text, source);
}

void ParseHistoryKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    e.historyEnabled = ParseSwitch(text, source);
}

void ParseTransportKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    e.transport = ParseTransport(text, source);
}

void ParseSecurityKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    const QString t = text.toLower();
    if (t == u"none")
        e.security = Endpoints::Security::None;
    else if (t == u"starttls")
        e.security = Endpoints::Security::StartTls;
    else if (t == u"tls")
        e.security = Endpoints::Security::Tls;
    else
        Refuse(source, QStringLiteral("security %1 is none of \"none\", \"starttls\" and \"tls\"").arg(Quoted(text)));
}

void ParseUserKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    if (text.isEmpty())
        Refuse(source, QStringLiteral("the user name is empty"));
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            Refuse(source, QStringLiteral("user %1 holds a control character").arg(Quoted(text)));
    e.user = text;
}

void ParseAuthKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    const QString t = text.toLower();
    if (t != u"auto" && t != u"plain" && t != u"login" && t != u"cram-md5")
        Refuse(source, QStringLiteral("auth %1 is none of \"auto\", \"plain\", \"login\" and \"cram-md5\"").arg(Quoted(text)));
    e.auth = t;
}

void ParseCaFileKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    const QFileInfo ca(text);
    if (text.isEmpty() || !ca.isFile() || !ca.isReadable())
        Refuse(source, QStringLiteral("cafile %1 is not a readable file").arg(Quoted(text)));
    if (const QString problem = CertificateFileProblem(ca.absoluteFilePath()); !problem.isNull())
        Refuse(source, QStringLiteral("cafile %1 %2").arg(Quoted(text), problem));
    e.caFile = ca.absoluteFilePath();
}

void ParsePasswordCommandKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    if (text.trimmed().isEmpty())
        Refuse(source, QStringLiteral("the password command is empty"));
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            Refuse(source, QStringLiteral("password command %1 holds a control character").arg(Quoted(text)));
    e.passwordCommand = text;
}

void ParseDirectIpHostKey(const QString& text, const QString& source, Origin origin, Endpoints& e)
{
    const QString directipPort = QString::number(kDirectIpPort);
    if (origin != Origin::File) {
        std::tie(e.directipHost, e.directipPort) = ParseRelay(text, source, QStringLiteral("gateway"), directipPort);
        return;
    }
    // The file keeps the port in its own key.
    if (text.contains(u':') && !(text.startsWith(u'[') && text.endsWith(u']')))
        Refuse(source, QStringLiteral("host %1: the port goes in the key port").arg(Quoted(text)));
    e.directipHost = ParseRelay(text, source, QStringLiteral("host"), directipPort).first;
}

void ParseDirectIpPortKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    qint64 number = 0;
    if (!ParseWholeNumber(text, 1, 65535, number))
        Refuse(source, QStringLiteral("port %1 is not a whole number from 1 to 65535").arg(Quoted(text)));
    e.directipPort = QString::number(number);
}

void ParseParallelKey(const QString& text, const QString& source, Origin, Endpoints& e)
{
    qint64 number = 0;
    if (!ParseWholeNumber(text, 1, 32, number))
        Refuse(source, QStringLiteral("parallel %1 is not a whole number from 1 to 32").arg(Quoted(text)));
    e.directipParallel = int(number);
}

constexpr SettingKey kSettingKeys[] = {
    {"mail", "relay", "KESTRAVO_RELAY", "--relay", &EndpointOptions::relay, "HOST[:PORT]", kRelayHost, Way::Email,
     ParseRelayKey,
     "The relay, HOST or HOST:PORT ([::1]:2525 for an IPv6 address); the port defaults to the smtp service "
     "port (25), to 587 with starttls and to 465 with tls."},
    {"mail", "sender", "KESTRAVO_SENDER", "--from", &EndpointOptions::sender, "ADDR", kSenderAddress, Way::Email,
     ParseSenderKey, "The envelope sender and From address."},
    {"mail", "gateway", "KESTRAVO_GATEWAY", "--to", &EndpointOptions::gateway, "ADDR", kGatewayAddress, Way::Email,
     ParseGatewayKey, "The gateway's mail address."},
    {"mail", "timeout", "KESTRAVO_TIMEOUT", "--timeout", &EndpointOptions::timeout, "SECONDS", "120", Way::Both,
     ParseTimeoutKey,
     "Seconds (1-86400) each message, and the opening and closing of a session, may take before it ends with "
     "error code 10060."},
    {"mail", "history", "KESTRAVO_HISTORY", nullptr, nullptr, "on|off", "on", Way::Both, ParseHistoryKey,
     "off keeps no history of sends (true/false, yes/no and 1/0 are read too)."},
    {"mail", "transport", "KESTRAVO_TRANSPORT", "--via", &EndpointOptions::transport, "email|directip", "email",
     Way::Both, ParseTransportKey,
     "The way to the gateway: by mail through the relay, or straight to the gateway's DirectIP MT interface."},
    {"mail", "security", "KESTRAVO_SECURITY", "--security", &EndpointOptions::security, "none|starttls|tls", "none",
     Way::Email, ParseSecurityKey,
     "Protect the connection with STARTTLS or with TLS from the first byte; never falls back to plain text."},
    {"mail", "user", "KESTRAVO_USER", "--user", &EndpointOptions::user, "NAME", "no sign-in", Way::Email,
     ParseUserKey,
     "Sign in as NAME; the password comes from password_command, else the keyring, never from the settings "
     "file. It is sent only over TLS or to this machine."},
    {"mail", "auth", "KESTRAVO_AUTH", "--auth", &EndpointOptions::auth, "auto|plain|login|cram-md5", "auto",
     Way::Email, ParseAuthKey, "The sign-in mechanism; auto takes the strongest the relay shares."},
    {"mail", "cafile", "KESTRAVO_CAFILE", "--cafile", &EndpointOptions::caFile, "FILE", "the system's certificates",
     Way::Email, ParseCaFileKey, "Also trust the CA certificates (PEM) in FILE."},
    {"mail", "password_command", "KESTRAVO_PASSWORD_COMMAND", "--password-command",
     &EndpointOptions::passwordCommand, "COMMAND", "the keyring", Way::Email, ParsePasswordCommandKey,
     "A command, run without a shell, whose first output line is the password."},
    {"directip", "host", "KESTRAVO_DIRECTIP", "--directip", &EndpointOptions::directip, "HOST[:PORT]",
     "none (needed with transport directip)", Way::DirectIp, ParseDirectIpHostKey,
     "The DirectIP gateway; as a variable or option HOST[:PORT], in the file the host alone."},
    {"directip", "port", "KESTRAVO_DIRECTIP", "--directip", &EndpointOptions::directip, "PORT", "10800",
     Way::DirectIp, ParseDirectIpPortKey, "The DirectIP gateway's port.", "host"},
    {"directip", "parallel", "KESTRAVO_DIRECTIP_PARALLEL", "--parallel", &EndpointOptions::parallel, "N", "4",
     Way::DirectIp, ParseParallelKey, "How many messages (1-32) go to the DirectIP gateway at once."},
};

// The value of the first source that gives one, with the name of that source.
struct Given {
    QString text;
    QString source;
    Origin origin = Origin::File;
    bool given() const { return !text.isNull(); }
};

Given FromEnvironment(const SettingKey& key)
{
    if (!key.variable || !qEnvironmentVariableIsSet(key.variable))
        return {};
    const QString v = qEnvironmentVariable(key.variable);
    return {v.isNull() ? QStringLiteral("") : v, QLatin1String(key.variable), Origin::Variable};
}

} // namespace

bool ParseWholeNumber(const QString& text, qint64 low, qint64 high, qint64& value)
{
    if (text.isEmpty())
        return false;
    qint64 v = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
        const int digit = c.unicode() - u'0';
        // Stops as soon as the number passes high, so no length of digits overflows.
        if (v > (high - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    // The check in the loop lets one digit above a bound below 10 through ((5 - 6) / 10 is 0).
    if (v < low || v > high)
        return false;
    value = v;
    return true;
}

QString EndpointsConfigPath()
{
    // Per the XDG base directory rules a relative XDG_CONFIG_HOME is ignored.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/kestravo/kestravo.conf");
}

std::pair<QString, QString> ParseRelay(const QString& text, const QString& source, const QString& what,
                                       const QString& defaultPort)
{
    QString host;
    QString port;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            Refuse(source, (what + QStringLiteral(" %1 has \"[\" without \"]\"")).arg(Quoted(text)));
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                Refuse(source, (what + QStringLiteral(" %1 has something other than \":PORT\" after \"]\"")).arg(Quoted(text)));
            hasPort = true;
            port = rest.mid(1);
        }
        if (host.isEmpty())
            Refuse(source, (what + QStringLiteral(" %1 has no host")).arg(Quoted(text)));
        for (QChar c : host)
            if (!IsIpv6Char(c))
                Refuse(source, (what + QStringLiteral(" %1 is not an IPv6 address in brackets")).arg(Quoted(text)));
    } else {
        const qsizetype colon = text.indexOf(u':');
        if (colon >= 0 && text.indexOf(u':', colon + 1) >= 0)
            Refuse(source, (what + QStringLiteral(" %1: an IPv6 address goes in brackets, [ADDRESS]:PORT")).arg(Quoted(text)));
        host = colon < 0 ? text : text.left(colon);
        if (colon >= 0) {
            hasPort = true;
            port = text.mid(colon + 1);
        }
        if (host.isEmpty())
            Refuse(source, (what + QStringLiteral(" %1 has no host; give HOST or HOST:PORT")).arg(Quoted(text)));
        for (QChar c : host)
            if (!IsHostNameChar(c))
                Refuse(source, (what + QStringLiteral(" %1: the host may hold only letters, digits, \"-\", \".\" and \"_\""))
                                   .arg(Quoted(text)));
    }
    if (!hasPort)
        return {host, defaultPort.isNull() ? QString::fromLatin1(kRelayService) : defaultPort};
    qint64 number = 0;
    if (!ParseWholeNumber(port, 1, 65535, number))
        Refuse(source, (what + QStringLiteral(" %1: the port %2 is not a whole number from 1 to 65535"))
                           .arg(Quoted(text), Quoted(port)));
    return {host, QString::number(number)};
}

int ParseTimeoutSeconds(const QString& text, const QString& source)
{
    qint64 seconds = 0;
    if (!ParseWholeNumber(text, 1, 86400, seconds))
        Refuse(source, QStringLiteral("timeout %1 is not a whole number of seconds from 1 to 86400").arg(Quoted(text)));
    return int(seconds);
}

QString ParseAddress(const QString& text, const QString& source)
{
    if (text.isEmpty())
        Refuse(source, QStringLiteral("the address is empty"));
    // RFC 5321 4.5.3.1: a path is at most 256 characters with its angle brackets, a local part
    // at most 64. A longer address would be refused or cut by some relay after it was sent.
    if (text.size() > kMaxAddressLength)
        Refuse(source, QStringLiteral("address %1 is %2 characters long; SMTP allows at most %3")
                           .arg(QuotedStart(text))
                           .arg(text.size())
                           .arg(kMaxAddressLength));
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u <= 0x20 || u >= 0x7F)
            Refuse(source, QStringLiteral("address %1 holds a blank, a control or a non-ASCII character").arg(Quoted(text)));
        if (QStringLiteral("<>,;:\"()[]\\").contains(c))
            Refuse(source, QStringLiteral("address %1 holds \"%2\", which does not belong in a plain address")
                               .arg(Quoted(text), QString(c)));
    }
    const qsizetype at = text.indexOf(u'@');
    if (at < 0)
        Refuse(source, QStringLiteral("address %1 has no \"@\"").arg(Quoted(text)));
    if (at == 0 || at == text.size() - 1 || text.indexOf(u'@', at + 1) >= 0)
        Refuse(source, QStringLiteral("address %1 is not of the form name@domain").arg(Quoted(text)));
    if (at > kMaxLocalPartLength)
        Refuse(source, QStringLiteral("address %1 has a name of %2 characters before \"@\"; SMTP allows at most %3")
                           .arg(QuotedStart(text))
                           .arg(at)
                           .arg(kMaxLocalPartLength));
    return text;
}

Transport ParseTransport(const QString& text, const QString& source)
{
    if (text == u"email")
        return Transport::Email;
    if (text == u"directip")
        return Transport::DirectIp;
    Refuse(source, QStringLiteral("transport %1 is neither \"email\" nor \"directip\"").arg(Quoted(text)));
}

bool ParseSwitch(const QString& text, const QString& source)
{
    const QString t = text.toLower();
    if (t == u"on" || t == u"true" || t == u"yes" || t == u"1")
        return true;
    if (t == u"off" || t == u"false" || t == u"no" || t == u"0")
        return false;
    Refuse(source, QStringLiteral("%1 is neither \"on\" nor \"off\"").arg(Quoted(text)));
}

void CheckSettingsFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Refuse(path, QStringLiteral("cannot be read (%1)").arg(file.errorString()));
    const QByteArray bytes = file.read(kMaxSettingsBytes + 1);
    if (bytes.size() > kMaxSettingsBytes)
        Refuse(path, QStringLiteral("is larger than 1 MiB, so not a settings file"));
    CheckSettingsLines(path, bytes);
}

std::span<const SettingKey> SettingKeys()
{
    return kSettingKeys;
}

const SettingKey* FindSettingKey(const QString& section, const QString& key)
{
    for (const SettingKey& row : kSettingKeys)
        if (section == QLatin1String(row.section) && key == QLatin1String(row.key))
            return &row;
    return nullptr;
}

QString FileSource(const QString& path, const SettingKey& key)
{
    return path + u' ' + key.Name();
}

QString Quoted(const QString& text)
{
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\r')
            out += QStringLiteral("\\r");
        else if (u == u'\n')
            out += QStringLiteral("\\n");
        else if (u == u'\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7F)
            out += QStringLiteral("\\x") + QString::number(int(u), 16).rightJustified(2, u'0').toUpper();
        else
            out += c;
    }
    return out + u'"';
}

QString SettingsFileValue(const QSettings& settings, const char* section, const char* key)
{
    const QVariant v = settings.value(QLatin1String(section) + u'/' + QLatin1String(key));
    if (!v.isValid())
        return QString();
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(u',');
    const QString s = v.toString();
    return s.isNull() ? QStringLiteral("") : s;
}

namespace {

// The settings file as a send reads it: checked line by line, then given to Qt's INI reader; a
// file that does not exist gives nothing.
std::unique_ptr<QSettings> OpenSettingsFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return nullptr;
    // A FIFO or a device there would block or never end the read.
    if (!info.isFile())
        Refuse(path, QStringLiteral("is not a regular file"));
    CheckSettingsFile(path);
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (settings->status() != QSettings::NoError)
        Refuse(path, QStringLiteral("is not a settings file Qt can read (INI format)"));
    return settings;
}

// The first source of the option, the environment and the file that gives key a value.
Given Pick(const SettingKey& key, const EndpointOptions& options, const QString& path, const QSettings* file)
{
    if (key.option && key.given && !(options.*key.given).isNull())
        return {options.*key.given, QLatin1String(key.option), Origin::Option};
    if (const Given g = FromEnvironment(key); g.given())
        return g;
    if (!file)
        return {};
    const QString v = SettingsFileValue(*file, key.section, key.key);
    if (v.isNull())
        return {};
    return {v, FileSource(path, key), Origin::File};
}

// A key given with another (the DirectIP port with its host) is not read from the file when the
// option or the variable gave the other.
bool TakenWithAnother(const SettingKey& key, const EndpointOptions& options)
{
    if (!key.givenWith)
        return false;
    return (key.given && !(options.*key.given).isNull()) || FromEnvironment(key).given();
}

} // namespace

namespace {

// value as Qt's INI writer writes it (quotes, escapes, "@String(...)"), so that the reader, which
// a send uses, gives back exactly value.
QByteArray IniValueText(const QString& value)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        throw EndpointError("cannot make a temporary folder to write a settings value");
    const QString path = dir.filePath(QStringLiteral("value.ini"));
    {
        QSettings writer(path, QSettings::IniFormat);
        writer.setValue(QStringLiteral("v/x"), value);
        writer.sync();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EndpointError("cannot read back a settings value");
    for (QByteArray line : file.readAll().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("x="))
            return line.mid(2);
    }
    throw EndpointError("cannot read back a settings value");
}

// The section a line opens ("[name]", a "; comment" after it allowed), or a null string.
QString SectionOf(const QString& line)
{
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(u'['))
        return QString();
    const qsizetype close = trimmed.indexOf(u']');
    return close < 0 ? QString() : trimmed.mid(1, close - 1).trimmed();
}

// The key a line sets, or a null string for a comment, a blank line or a section header.
QString KeyOf(const QString& line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#') || trimmed.startsWith(u'['))
        return QString();
    const qsizetype equals = line.indexOf(u'=');
    return equals < 0 ? QString() : line.left(equals).trimmed();
}

} // namespace

QByteArray RewriteSettingsText(const QByteArray& text, const std::vector<SettingChange>& changes)
{
    QByteArray bom;
    QByteArray body = text;
    if (body.startsWith("\xEF\xBB\xBF")) {
        bom = body.left(3);
        body.remove(0, 3);
    }
    const QByteArray eol = body.contains("\r\n") ? QByteArray("\r\n") : QByteArray("\n");
    QList<QByteArray> lines = body.split('\n');
    const bool endedWithNewline = body.isEmpty() || body.endsWith('\n');
    if (body.endsWith('\n') || body.isEmpty())
        lines.removeLast(); // the empty piece after the last newline
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);

    for (const SettingChange& change : changes) {
        QString section;
        qsizetype keyLine = -1;      // the line that sets the key
        qsizetype lastInSection = -1; // the header or the last key line of the section
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QString line = QString::fromUtf8(lines[i]);
            if (const QString opened = SectionOf(line); !opened.isNull()) {
                section = opened;
                if (section == change.section)
                    lastInSection = i;
                continue;
            }
            if (section != change.section)
                continue;
            const QString key = KeyOf(line);
            if (key.isNull())
                continue;
            lastInSection = i;
            if (key == change.key)
                keyLine = i;
        }
        if (change.value.isNull()) {
            if (keyLine >= 0)
                lines.removeAt(keyLine);
            continue;
        }
        const QByteArray value = IniValueText(change.value);
        if (keyLine >= 0) {
            // The key's spelling and the blanks around "=" stay as written.
            QByteArray& line = lines[keyLine];
            qsizetype at = line.indexOf('=') + 1;
            while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
                ++at;
            line = line.left(at) + value;
        } else if (lastInSection >= 0) {
            lines.insert(lastInSection + 1, change.key.toUtf8() + '=' + value);
        } else {
            if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
                lines.append(QByteArray());
            lines.append('[' + change.section.toUtf8() + ']');
            lines.append(change.key.toUtf8() + '=' + value);
        }
    }
    QByteArray out = bom + lines.join(eol);
    if (!lines.isEmpty() && (endedWithNewline || !changes.empty()))
        out += eol;
    return out;
}

void CheckSettingsFileValues(const QString& path)
{
    const std::unique_ptr<QSettings> file = OpenSettingsFile(path);
    if (!file)
        return;
    Endpoints scratch;
    for (const SettingKey& key : kSettingKeys) {
        if (FromEnvironment(key).given() || TakenWithAnother(key, {}))
            continue;
        const QString v = SettingsFileValue(*file, key.section, key.key);
        if (!v.isNull())
            key.parse(v, FileSource(path, key), Origin::File, scratch);
    }
}

Endpoints ResolveEndpoints(const EndpointOptions& options)
{
    const QString path = EndpointsConfigPath();
    const std::unique_ptr<QSettings> file = OpenSettingsFile(path);
    Endpoints e;
    for (const SettingKey& key : kSettingKeys) {
        if (TakenWithAnother(key, options))
            continue;
        if (const Given g = Pick(key, options, path, file.get()); g.given())
            key.parse(g.text, g.source, g.origin, e);
    }
    if (e.relayPort == QLatin1String(kRelayService) && e.security != Endpoints::Security::None)
        e.relayPort = e.security == Endpoints::Security::Tls ? QStringLiteral("465") : QStringLiteral("587");
    if (e.transport == Transport::DirectIp && e.directipHost.isEmpty())
        throw EndpointError("DirectIP needs the gateway's host: --directip HOST[:PORT], KESTRAVO_DIRECTIP, or host "
                            "in the [directip] section of " + path.toStdString());
    return e;
}

} // namespace kestravo::endpoints
