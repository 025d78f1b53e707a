// SPDX-License-Identifier: Apache-2.0
#pragma once
// Command-line parsing shared by the subcommands: one QCommandLineParser per subcommand, with
// --help and --version on each, "--opt value" and "--opt=value" alike and "--" ending the options.
#include "endpoints/endpoints.h"
#include "endpoints/settings_keys.h"
#include "tools/record_tool/tool.h"

#include <QCommandLineParser>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestravo::tool {

// Adds --help (-h) and --version, parses the words after the subcommand's name and refuses
// (ToolFailure, exit 2, the message starting with "SUBCOMMAND: ") unknown options and options
// without their value. Returns an exit code when the request was only for the help or the version,
// which have then been printed.
std::optional<int> ParseSubcommand(QCommandLineParser& parser, std::string_view subcommand, Args args);

// An option that takes a value, shown as valueName (help texts are kept in usage.h).
QCommandLineOption ValuedOption(const char* name, const char* valueName);

// The value of an option that may be given once, or nothing when it is not given; refused when
// given twice or empty.
std::optional<QString> SingleValue(const QCommandLineParser& parser, const QString& option,
                                   std::string_view subcommand);

// Texts as the command line and the file system hold them (the locale's encoding).
std::string LocalText(const QString& text);
QString FromLocal(const std::string& text);

// A whole decimal number in [low, high]; anything else (blanks, a sign on an unsigned number,
// text after the digits, hexadecimal) is refused with a message naming what.
long long ParseWholeNumber(const QString& text, long long low, long long high, const std::string& what);

// Prints "kestravo-record: MESSAGE" on stderr, control characters in the message escaped
// (EscapeControls). Every diagnostic of the tool goes through here.
void PrintDiagnostic(const std::string& message);

// A text on one output line (a relay's reply can span lines): control characters become blanks.
std::string OneLine(const QString& text);


// HOST:PORT, with an IPv6 host in brackets.
std::string RelayText(const QString& host, const QString& port);

// The version line: "kestravo-record 2.2".
std::string VersionLine();

// The options of the table of settings keys (endpoints/settings_keys.h): every one, for send.
void AddSettingOptions(QCommandLineParser& parser);
// Their values into given, each option at most once; returns the rows whose option was given.
std::vector<const endpoints::SettingKey*> TakeSettingOptions(const QCommandLineParser& parser, std::string_view subcommand,
                                                             endpoints::EndpointOptions& given);

// The options of encryption and sign-in shared by send and password: --security, --user, --auth,
// --cafile, --password-command.
void AddSecurityOptions(QCommandLineParser& parser);
void TakeSecurityOptions(const QCommandLineParser& parser, std::string_view subcommand, endpoints::EndpointOptions& given);

} // namespace kestravo::tool
