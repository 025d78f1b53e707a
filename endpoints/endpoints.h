// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where a send goes: the relay, the envelope's two addresses, the DirectIP gateway, the deadline,
// encryption and sign-in, and whether sends are kept in the history. Each value comes from the
// first of these that gives it: a command-line option, the environment, the configuration file
// ($XDG_CONFIG_HOME/kestravo/kestravo.conf, by default ~/.config/kestravo/kestravo.conf), the
// values compiled in (endpoints/compiled_endpoints.h). The keys, variables and options are those
// of the table in endpoints/settings_keys.h. A malformed value is refused, never trimmed or
// guessed at.
#include "endpoints/compiled_endpoints.h"

#include <QString>

class QSettings;

#include <QByteArray>

#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kestravo::endpoints {

// The way a record travels to the gateway: mailed through the relay, or handed to the gateway's
// DirectIP MT interface (key transport in [mail], KESTRAVO_TRANSPORT, --via).
enum class Transport { Email, DirectIp };

// The DirectIP gateway's port when none is given.
constexpr int kDirectIpPort = 10800;

// relayPort is the text of a port number 1-65535 or the service name "smtp".
struct Endpoints {
    QString relayHost = QString::fromUtf8(kRelayHost);
    QString relayPort = QString::fromLatin1(kRelayService);
    QString sender = QString::fromUtf8(kSenderAddress);
    QString gateway = QString::fromUtf8(kGatewayAddress);
    int timeoutSeconds = 120;   // 1..86400: how long the relay may stay silent
    bool historyEnabled = true; // KESTRAVO_HISTORY=off or history=off in the file turns it off

    // Encryption and sign-in. With the defaults the session is the plain, unauthenticated one of
    // old. A relay given without a port gets 587 with starttls and 465 with tls.
    enum class Security { None, StartTls, Tls };
    Security security = Security::None;
    QString user;                         // empty: no sign-in
    QString auth = QStringLiteral("auto"); // auto, plain, login or cram-md5
    QString caFile;                       // further trusted CA certificates (PEM), read before use
    QString passwordCommand;              // its first line of output is the password
    // The password once fetched (mail/credentials.h); never read from the settings file. The
    // bytes are wiped when the last copy of the Endpoints goes.
    std::shared_ptr<const QByteArray> password;
    Transport transport = Transport::Email;
    // The DirectIP gateway; no host unless one is given, and one is needed when the transport is
    // DirectIP.
    QString directipHost;
    QString directipPort = QString::number(kDirectIpPort);
    int directipParallel = 4; // 1..32 messages at once over DirectIP
};

// Values given on a command line; a null QString means "not given".
struct EndpointOptions {
    QString relay;
    QString sender;
    QString gateway;
    QString timeout;
    QString security;
    QString user;
    QString auth;
    QString caFile;
    QString passwordCommand;
    QString transport; // --via
    QString directip;  // --directip
    QString parallel;  // --parallel
};

// A malformed value; what() names where it came from ("--relay", "KESTRAVO_RELAY",
// "/home/u/.config/kestravo/kestravo.conf [mail] relay") and what is wrong with it.
class EndpointError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Resolves every value by the precedence above. Throws EndpointError.
Endpoints ResolveEndpoints(const EndpointOptions& options = {});

// The configuration file ResolveEndpoints reads (it need not exist).
QString EndpointsConfigPath();

// Refuses (EndpointError naming the file and the line, or the section and key) a settings file
// that is not UTF-8 INI text line by line, has a section or a key twice, a section or key that
// is unknown or written in another case, or a password. ResolveEndpoints calls it on the file
// it reads; whatever else reads the same file calls it first too.
void CheckSettingsFile(const QString& path);

// CheckSettingsFile, then each value the file gives and the environment does not override, read
// as a send reads it: the first refusal a send would meet in the file, or nothing.
void CheckSettingsFileValues(const QString& path);

// The value the file gives for section/key as a send reads it, or a null string. A value with a
// comma reads as a list in INI files; it is joined again, as it was written.
QString SettingsFileValue(const QSettings& settings, const char* section, const char* key);

// One key to set (value) or to take out of the file (a null value).
struct SettingChange {
    QString section;
    QString key;
    QString value;
};

// The settings file's text with changes made, as an editor would make them: every other line
// (comments, blank lines, the order of keys) stays as it was; a changed key's line keeps its place
// and only its value changes; a new key goes after the last key of its section, a new section at
// the end. Values are written as Qt's INI reader reads them back.
QByteArray RewriteSettingsText(const QByteArray& text, const std::vector<SettingChange>& changes);

// text in double quotes, control characters written out ("\n", "\x00") so that a message
// stays one line and shows every character the value holds.
QString Quoted(const QString& text);

// Whole decimal digits within [low, high] (0 <= low <= high): no sign, blank, exponent or
// trailing text. The one reading of a number that every option, variable and settings key gets.
bool ParseWholeNumber(const QString& text, qint64 low, qint64 high, qint64& value);

// Strict whole-string parsers shared by options, variables and the file; each throws
// EndpointError naming source.
// HOST or HOST:PORT ([v6] and [v6]:PORT too); PORT 1..65535 and nothing after it. Without a port
// the second value is "smtp".
// `what` names the value in the refusal; defaultPort (a null string: "smtp") is the port when none
// is given.
std::pair<QString, QString> ParseRelay(const QString& text, const QString& source,
                                       const QString& what = QStringLiteral("relay"),
                                       const QString& defaultPort = QString());
// "email" or "directip", exactly.
Transport ParseTransport(const QString& text, const QString& source);
// Whole decimal number of seconds, 1..86400.
int ParseTimeoutSeconds(const QString& text, const QString& source);
// A bare ASCII address local@domain, without anything that could break a header line or the
// SMTP envelope (control characters, blanks, "<", ">", ",", ";", quotes, brackets...), and no
// longer than SMTP allows: 254 characters in all, 64 before the "@".
QString ParseAddress(const QString& text, const QString& source);
// "on"/"off" (also true/false, yes/no, 1/0), any case.
bool ParseSwitch(const QString& text, const QString& source);

} // namespace kestravo::endpoints
