// SPDX-License-Identifier: Apache-2.0
// Endpoints of a send from options, environment, configuration file and compiled-in values.
#include "mail/endpoints.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <memory>
#include <tuple>

namespace kestravo::mail {

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
        if (!info.isReadable())
            Refuse(file.path, QStringLiteral("cannot be read"));
        settings = std::make_unique<QSettings>(file.path, QSettings::IniFormat);
        if (settings->status() != QSettings::NoError)
            Refuse(file.path, QStringLiteral("is not a readable INI file"));
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

} // namespace kestravo::mail
