// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where a send goes: the relay, the envelope's two addresses, the deadline and whether sends are
// kept in the history. Each value comes from the first of these that gives it: a command-line
// option, the environment (KESTRAVO_RELAY, KESTRAVO_SENDER, KESTRAVO_GATEWAY, KESTRAVO_TIMEOUT,
// KESTRAVO_HISTORY), the configuration file ($XDG_CONFIG_HOME/kestravo/kestravo.conf, by default
// ~/.config/kestravo/kestravo.conf, section [mail], keys relay, sender, gateway, timeout, history),
// the values compiled in (endpoints/compiled_endpoints.h). A malformed value is refused, never
// trimmed or guessed at.
#include "endpoints/compiled_endpoints.h"

#include <QString>

#include <QByteArray>

#include <memory>
#include <stdexcept>
#include <utility>

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

    // Encryption and sign-in (KESTRAVO_SECURITY, KESTRAVO_USER, KESTRAVO_AUTH, KESTRAVO_CAFILE,
    // KESTRAVO_PASSWORD_COMMAND; keys security, user, auth, cafile, password_command). With the
    // defaults the session is the plain, unauthenticated one of old. A relay given without a
    // port gets 587 with starttls and 465 with tls.
    enum class Security { None, StartTls, Tls };
    Security security = Security::None;
    QString user;                         // empty: no sign-in
    QString auth = QStringLiteral("auto"); // auto, plain, login or cram-md5
    QString caFile;                       // further trusted CA certificates (PEM)
    QString passwordCommand;              // its first line of output is the password
    // The password once fetched (mail/credentials.h); never read from the settings file. The
    // bytes are wiped when the last copy of the Endpoints goes.
    std::shared_ptr<const QByteArray> password;
    Transport transport = Transport::Email;
    // The DirectIP gateway ([directip] host and port, KESTRAVO_DIRECTIP, --directip HOST[:PORT]);
    // no host unless one is given, and one is needed when the transport is DirectIP.
    QString directipHost;
    QString directipPort = QString::number(kDirectIpPort);
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
