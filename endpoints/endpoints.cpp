// SPDX-License-Identifier: Apache-2.0
// Endpoints of a send from options, environment, configuration file and compiled-in values.
#include "endpoints/endpoints.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>
#include <QStringList>

#include <initializer_list>
#include <map>
#include <memory>
#include <tuple>

namespace kestravo::endpoints {

namespace {

[[noreturn]] void Refuse(const QString& source, const QString& what)
{
    throw EndpointError((source + QStringLiteral(": ") + what).toStdString());
}

QString Quoted(const QString& text)
{
    // Control characters are shown escaped, so that the message itself stays one readable line.
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + u'"';
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

struct FileValues {
    QString path;
    QSettings* settings = nullptr;

    QString Source(const char* key, const char* section = "mail") const
    {
        return path + QStringLiteral(" [%1] ").arg(QLatin1String(section)) + QLatin1String(key);
    }

    // A value the file gives, or a null string. A value with a comma reads as a list in INI
    // files; it is joined again, so that the parser sees (and refuses) what was written.
    QString Value(const char* key, const char* section = "mail") const
    {
        if (!settings)
            return QString();
        const QVariant v = settings->value(QLatin1String(section) + u'/' + QLatin1String(key));
        if (!v.isValid())
            return QString();
        if (v.typeId() == QMetaType::QStringList)
            return v.toStringList().join(u',');
        QString s = v.toString();
        return s.isNull() ? QStringLiteral("") : s;
    }
};

// The value of the first source that gives one, with the name of that source.
struct Given {
    QString text;
    QString source;
    bool given() const { return !text.isNull(); }
};

Given Pick(const QString& option, const char* optionName, const char* variable, const FileValues& file,
           const char* key, const char* section = "mail")
{
    if (!option.isNull())
        return {option, QLatin1String(optionName)};
    if (qEnvironmentVariableIsSet(variable)) {
        const QString v = qEnvironmentVariable(variable);
        return {v.isNull() ? QStringLiteral("") : v, QLatin1String(variable)};
    }
    const QString v = file.Value(key, section);
    if (!v.isNull())
        return {v, file.Source(key, section)};
    return {};
}

// Every section and key the settings file may hold, in the one spelling each is read by; other
// parts of the program read some of these, but all of them are checked here, before any is used.
struct KnownSection {
    const char* name;
    std::initializer_list<const char*> keys;
};
const KnownSection kKnownSettings[] = {
    {"mail",
     {"relay", "sender", "gateway", "timeout", "history", "security", "user", "auth", "cafile", "password_command",
      "transport"}},
    {"directip", {"host", "port"}},
};

// No settings file comes near this; a larger one is something else put at that path.
constexpr qint64 kMaxSettingsBytes = 1024 * 1024;

const KnownSection* FindSection(const QString& name)
{
    for (const KnownSection& section : kKnownSettings)
        if (name == QLatin1String(section.name))
            return &section;
    return nullptr;
}

// The spelling of a known name that differs from text only in case, or null.
QString OtherCase(const QString& text, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return QLatin1String(name);
    return QString();
}

QStringList NamesOf(std::initializer_list<const char*> names)
{
    QStringList list;
    for (const char* name : names)
        list << QLatin1String(name);
    return list;
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
        Refuse(path, QStringLiteral("is not UTF-8 text, so not a settings file"));

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
                QStringList names;
                for (const KnownSection& known : kKnownSettings)
                    names << QLatin1Char('[') + QLatin1String(known.name) + QLatin1Char(']');
                for (const KnownSection& known : kKnownSettings)
                    if (sectionName.compare(QLatin1String(known.name), Qt::CaseInsensitive) == 0)
                        Refuse(at(number), QStringLiteral("section [%1] is written [%2]; section names are lower case")
                                               .arg(sectionName, QLatin1String(known.name)));
                Refuse(at(number), QStringLiteral("unknown section %1; the file holds only %2")
                                       .arg(Quoted(trimmed), names.join(QStringLiteral(" and "))));
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
            Refuse(at(number), QStringLiteral("key %1 comes before any section; keys go under [mail] or [directip]").arg(Quoted(key)));
        // "FILE:LINE [section] key", so the message names the line and the setting alike.
        const QString keyAt = at(number) + QStringLiteral(" [") + sectionName + QStringLiteral("] ") + key;
        if (sectionName == u"mail" && key.compare(u"password", Qt::CaseInsensitive) == 0)
            Refuse(keyAt, QStringLiteral("passwords are not kept in this file: store it in the keyring with "
                                         "\"kestravo-record password set\", or name a command that prints it "
                                         "with password_command"));
        if (!NamesOf(section->keys).contains(key)) {
            const QString spelling = OtherCase(key, section->keys);
            if (!spelling.isNull())
                Refuse(keyAt, QStringLiteral("the key is written %1; keys are lower case: %2").arg(Quoted(key), spelling));
            Refuse(keyAt, QStringLiteral("unknown key; [%1] takes %2")
                              .arg(sectionName, NamesOf(section->keys).join(QStringLiteral(", "))));
        }
        if (const auto [it, inserted] = keyLines.emplace(key, number); !inserted)
            Refuse(keyAt, QStringLiteral("the key is given twice (first on line %1); which one is meant is not guessed")
                       .arg(it->second));
    }
}

// Encryption and sign-in: security, user, auth, cafile, password_command.
void ResolveSecurity(const EndpointOptions& options, const FileValues& file, Endpoints& e)
{
    if (file.settings && file.settings->contains(QStringLiteral("mail/password")))
        Refuse(file.Source("password"),
               QStringLiteral("passwords are not kept in this file: store it in the keyring with "
                              "\"kestravo-record password set\", or name a command that prints it with password_command"));
    if (const Given g = Pick(options.security, "--security", "KESTRAVO_SECURITY", file, "security"); g.given()) {
        const QString t = g.text.toLower();
        if (t == u"none")
            e.security = Endpoints::Security::None;
        else if (t == u"starttls")
            e.security = Endpoints::Security::StartTls;
        else if (t == u"tls")
            e.security = Endpoints::Security::Tls;
        else
            Refuse(g.source, QStringLiteral("security %1 is none of \"none\", \"starttls\" and \"tls\"").arg(Quoted(g.text)));
    }
    if (e.relayPort == QLatin1String(kRelayService) && e.security != Endpoints::Security::None)
        e.relayPort = e.security == Endpoints::Security::Tls ? QStringLiteral("465") : QStringLiteral("587");
    if (const Given g = Pick(options.user, "--user", "KESTRAVO_USER", file, "user"); g.given()) {
        if (g.text.isEmpty())
            Refuse(g.source, QStringLiteral("the user name is empty"));
        for (QChar c : g.text)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                Refuse(g.source, QStringLiteral("user %1 holds a control character").arg(Quoted(g.text)));
        e.user = g.text;
    }
    if (const Given g = Pick(options.auth, "--auth", "KESTRAVO_AUTH", file, "auth"); g.given()) {
        const QString t = g.text.toLower();
        if (t != u"auto" && t != u"plain" && t != u"login" && t != u"cram-md5")
            Refuse(g.source, QStringLiteral("auth %1 is none of \"auto\", \"plain\", \"login\" and \"cram-md5\"").arg(Quoted(g.text)));
        e.auth = t;
    }
    if (const Given g = Pick(options.caFile, "--cafile", "KESTRAVO_CAFILE", file, "cafile"); g.given()) {
        const QFileInfo ca(g.text);
        if (g.text.isEmpty() || !ca.isFile() || !ca.isReadable())
            Refuse(g.source, QStringLiteral("cafile %1 is not a readable file").arg(Quoted(g.text)));
        e.caFile = ca.absoluteFilePath();
    }
    if (const Given g = Pick(options.passwordCommand, "--password-command", "KESTRAVO_PASSWORD_COMMAND", file,
                             "password_command");
        g.given()) {
        if (g.text.trimmed().isEmpty())
            Refuse(g.source, QStringLiteral("the password command is empty"));
        e.passwordCommand = g.text;
    }
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

Endpoints ResolveEndpoints(const EndpointOptions& options)
{
    FileValues file;
    file.path = EndpointsConfigPath();
    std::unique_ptr<QSettings> settings;
    const QFileInfo info(file.path);
    if (info.exists()) {
        // A FIFO or a device there would block or never end the read.
        if (!info.isFile())
            Refuse(file.path, QStringLiteral("is not a regular file"));
        CheckSettingsFile(file.path);
        settings = std::make_unique<QSettings>(file.path, QSettings::IniFormat);
        if (settings->status() != QSettings::NoError)
            Refuse(file.path, QStringLiteral("is not a settings file Qt can read (INI format)"));
        file.settings = settings.get();
    }

    Endpoints e;
    if (const Given g = Pick(options.relay, "--relay", "KESTRAVO_RELAY", file, "relay"); g.given())
        std::tie(e.relayHost, e.relayPort) = ParseRelay(g.text, g.source);
    if (const Given g = Pick(options.sender, "--from", "KESTRAVO_SENDER", file, "sender"); g.given())
        e.sender = ParseAddress(g.text, g.source);
    if (const Given g = Pick(options.gateway, "--to", "KESTRAVO_GATEWAY", file, "gateway"); g.given())
        e.gateway = ParseAddress(g.text, g.source);
    if (const Given g = Pick(options.timeout, "--timeout", "KESTRAVO_TIMEOUT", file, "timeout"); g.given())
        e.timeoutSeconds = ParseTimeoutSeconds(g.text, g.source);
    if (const Given g = Pick(QString(), "", "KESTRAVO_HISTORY", file, "history"); g.given())
        e.historyEnabled = ParseSwitch(g.text, g.source);
    ResolveSecurity(options, file, e);
    if (const Given g = Pick(options.transport, "--via", "KESTRAVO_TRANSPORT", file, "transport"); g.given())
        e.transport = ParseTransport(g.text, g.source);
    const QString directipPort = QString::number(kDirectIpPort);
    if (const Given g = Pick(options.directip, "--directip", "KESTRAVO_DIRECTIP", FileValues{}, ""); g.given()) {
        std::tie(e.directipHost, e.directipPort) = ParseRelay(g.text, g.source, QStringLiteral("gateway"), directipPort);
    } else if (const Given h = Pick(QString(), "", "", file, "host", "directip"); h.given()) {
        if (h.text.contains(u':') && !(h.text.startsWith(u'[') && h.text.endsWith(u']')))
            Refuse(h.source, QStringLiteral("host %1: the port goes in the key port").arg(Quoted(h.text)));
        std::tie(e.directipHost, e.directipPort) = ParseRelay(h.text, h.source, QStringLiteral("host"), directipPort);
        if (const Given p = Pick(QString(), "", "", file, "port", "directip"); p.given()) {
            qint64 number = 0;
            if (!ParseWholeNumber(p.text, 1, 65535, number))
                Refuse(p.source, QStringLiteral("port %1 is not a whole number from 1 to 65535").arg(Quoted(p.text)));
            e.directipPort = QString::number(number);
        }
    }
    if (e.transport == Transport::DirectIp && e.directipHost.isEmpty())
        throw EndpointError("DirectIP needs the gateway's host: --directip HOST[:PORT], KESTRAVO_DIRECTIP, or host "
                            "in the [directip] section of " + file.path.toStdString());
    return e;
}

} // namespace kestravo::endpoints
