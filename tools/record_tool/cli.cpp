// SPDX-License-Identifier: Apache-2.0
#include "tools/record_tool/cli.h"

#include "endpoints/endpoints.h"
#include "tools/record_tool/diagnostic.h"
#include "tools/record_tool/usage.h"

#include <cstdio>
#include <iostream>

namespace kestravo::tool {

std::string LocalText(const QString& text) { return text.toLocal8Bit().toStdString(); }

QString FromLocal(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

void PrintDiagnostic(const std::string& message) {
    std::cerr << "kestravo-record: " << EscapeControls(message) << "\n";
}

std::string OneLine(const QString& text) {
    QString line = text;
    for (QChar& c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QLatin1Char(' ');
    return LocalText(line);
}

std::string RelayText(const QString& host, const QString& port) {
    const bool v6 = host.contains(QLatin1Char(':'));
    return LocalText((v6 ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':') + port);
}

std::string VersionLine() { return std::string("kestravo-record ") + KESTRAVO_VERSION; }

std::optional<int> ParseSubcommand(QCommandLineParser& parser, std::string_view subcommand, Args args) {
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString());
    parser.addOption(help);
    parser.addOption(version);

    QStringList words{QStringLiteral("kestravo-record")};
    for (const std::string& word : args) words.append(FromLocal(word));
    const bool parsed = parser.parse(words);
    const std::string prefix = std::string(subcommand) + ": ";

    // A request for help is answered whatever else the line holds, as before.
    if (parser.isSet(help)) {
        std::cout << UsageFor(subcommand);
        return kExitOk;
    }
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString name = parser.unknownOptionNames().constFirst();
        throw ToolFailure(kExitRefused, prefix + "unknown option \"" + (name.size() == 1 ? "-" : "--") +
                                            LocalText(name) + "\"");
    }
    if (!parsed) throw ToolFailure(kExitRefused, prefix + LocalText(parser.errorText()));
    if (parser.isSet(version)) {
        std::cout << VersionLine() << "\n";
        return kExitOk;
    }
    return std::nullopt;
}

QCommandLineOption ValuedOption(const char* name, const char* valueName) {
    return QCommandLineOption(QLatin1String(name), QString(), QLatin1String(valueName));
}

std::optional<QString> SingleValue(const QCommandLineParser& parser, const QString& option,
                                   std::string_view subcommand) {
    const QStringList values = parser.values(option);
    const std::string name = (option.size() == 1 ? "-" : "--") + LocalText(option);
    if (values.isEmpty()) return std::nullopt;
    if (values.size() > 1) throw ToolFailure(kExitRefused, std::string(subcommand) + ": " + name + " given twice");
    if (values.constFirst().isEmpty())
        throw ToolFailure(kExitRefused, std::string(subcommand) + ": " + name + " needs a value");
    return values.constFirst();
}

long long ParseWholeNumber(const QString& text, long long low, long long high, const std::string& what) {
    qint64 value = 0;
    if (!endpoints::ParseWholeNumber(text, low, high, value))
        throw ToolFailure(kExitRefused, what + " takes a whole number " + std::to_string(low) + "-" +
                                            std::to_string(high) + ", not \"" + LocalText(text) + "\"");
    return value;
}

namespace {

// The security rows: the mail rows of sign-in and encryption, which password takes too.
bool IsSecurityKey(const endpoints::SettingKey& key) {
    for (const char* name : {"security", "user", "auth", "cafile", "password_command"})
        if (std::string_view(key.key) == name) return true;
    return false;
}

template <typename Filter>
void AddOptions(QCommandLineParser& parser, Filter wanted) {
    for (const endpoints::SettingKey& key : endpoints::SettingKeys())
        if (key.option && !key.givenWith && wanted(key))
            parser.addOption(ValuedOption(key.option + 2, key.valueName)); // without "--"
}

template <typename Filter>
std::vector<const endpoints::SettingKey*> TakeOptions(const QCommandLineParser& parser, std::string_view subcommand,
                                                      endpoints::EndpointOptions& given, Filter wanted) {
    std::vector<const endpoints::SettingKey*> taken;
    for (const endpoints::SettingKey& key : endpoints::SettingKeys()) {
        if (!key.option || key.givenWith || !wanted(key)) continue;
        if (const auto v = SingleValue(parser, QLatin1String(key.option + 2), subcommand)) {
            given.*key.given = *v;
            taken.push_back(&key);
        }
    }
    return taken;
}

} // namespace

void AddSettingOptions(QCommandLineParser& parser) {
    AddOptions(parser, [](const endpoints::SettingKey&) { return true; });
}

std::vector<const endpoints::SettingKey*> TakeSettingOptions(const QCommandLineParser& parser, std::string_view subcommand,
                                                             endpoints::EndpointOptions& given) {
    return TakeOptions(parser, subcommand, given, [](const endpoints::SettingKey&) { return true; });
}

void AddSecurityOptions(QCommandLineParser& parser) { AddOptions(parser, IsSecurityKey); }

void TakeSecurityOptions(const QCommandLineParser& parser, std::string_view subcommand, endpoints::EndpointOptions& given) {
    TakeOptions(parser, subcommand, given, IsSecurityKey);
}

} // namespace kestravo::tool
