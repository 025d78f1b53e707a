// SPDX-License-Identifier: Apache-2.0
// kestravo-record password set|clear: the keyring entry of the configured relay and user.
#include "mail/credentials.h"
#include "mail/smtp/smtp_auth.h"
#include "tools/record_tool/cli.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace kestravo::tool {

namespace {

// One line from standard input: from a terminal without echo, after a prompt on stderr.
QByteArray ReadSecretLine(const std::string& prompt) {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::cerr << prompt << std::flush;
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    QByteArray line;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n <= 0 || c == '\n') break;
        line.append(c);
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (line.endsWith('\r')) line.chop(1);
    return line;
}

} // namespace

int RunPassword(Args args) {
    QCommandLineParser parser;
    parser.addOption(ValuedOption("relay", "HOST[:PORT]"));
    AddSecurityOptions(parser);
    if (const auto done = ParseSubcommand(parser, "password", args)) return *done;
    const QStringList words = parser.positionalArguments();
    if (words.size() != 1 || (words[0] != u"set" && words[0] != u"clear"))
        throw ToolFailure(kExitRefused, "password: give \"set\" or \"clear\"");
    endpoints::EndpointOptions given;
    if (const auto relay = SingleValue(parser, QStringLiteral("relay"), "password")) given.relay = *relay;
    TakeSecurityOptions(parser, "password", given);
    endpoints::Endpoints endpoints;
    try {
        endpoints = endpoints::ResolveEndpoints(given);
    } catch (const endpoints::EndpointError& error) {
        throw ToolFailure(kExitRefused, error.what());
    }
    if (endpoints.user.isEmpty())
        throw ToolFailure(kExitRefused, "password: no user is set (user= in the settings, KESTRAVO_USER or --user)");
    const std::string key = LocalText(mail::KeyringKey(endpoints));
    try {
        if (words[0] == u"clear") {
            mail::ClearKeyringPassword(endpoints);
            std::cerr << "kestravo-record: the password for " << key << " is no longer in the keyring\n";
            return kExitOk;
        }
        QByteArray secret = ReadSecretLine("Password for " + key + ": ");
        if (secret.isEmpty()) throw ToolFailure(kExitRefused, "password: no password given; nothing stored");
        mail::WriteKeyringPassword(endpoints, secret);
        mail::WipeBytes(secret);
    } catch (const mail::CredentialError& error) {
        throw ToolFailure(kExitIoFailure, error.what());
    }
    std::cerr << "kestravo-record: the password for " << key << " is in the keyring\n";
    return kExitOk;
}

} // namespace kestravo::tool
