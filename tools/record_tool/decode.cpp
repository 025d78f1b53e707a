// SPDX-License-Identifier: Apache-2.0
#include "record/codec.h"
#include "record/record_text.h"
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <iostream>
#include <optional>

namespace kestravo::tool {

namespace {

struct Check {
    const char* name;
    std::uint8_t stored;
    std::uint8_t computed;
};

// Each check byte as stored and as computed from the bytes it covers.
std::array<Check, 2> ChecksOf(const TConfigRecord& record) {
    return {{{"PayloadCheck", record[kPayloadCheckOffset],
              ConfigChecksum(record.data() + kHeaderSize, static_cast<std::uint8_t>(kPayloadSize - 1))},
             {"RecordCheck", record[kRecordCheckOffset],
              ConfigChecksum(record.data(), static_cast<std::uint8_t>(kRecordSize - 1))}}};
}

QJsonObject RecordJson(const TConfigRecord& record) {
    MapSettingsStore store;
    DecodeRecord(store, record);
    QJsonObject object;
    for (const FieldSpec& field : Fields())
        object.insert(QLatin1String(field.name.data(), qsizetype(field.name.size())), ReadSetting(store, field));
    for (const Check& c : ChecksOf(record))
        object.insert(QLatin1String(c.name), QJsonObject{{QStringLiteral("ok"), c.stored == c.computed},
                                                         {QStringLiteral("stored"), int{c.stored}},
                                                         {QStringLiteral("computed"), int{c.computed}}});
    return object;
}

} // namespace

void PrintRecord(std::ostream& out, const TConfigRecord& record, bool json) {
    if (json) {
        out << QJsonDocument(RecordJson(record)).toJson(QJsonDocument::Indented).toStdString();
        return;
    }
    for (const std::string& line : RecordLines(record)) out << line << "\n";
}

int RunDecode(Args args) {
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"));
    parser.addOption(json);
    if (const auto done = ParseSubcommand(parser, "decode", args)) return *done;
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty()) throw ToolFailure(kExitRefused, "decode: no file given");
    if (files.size() > 1) throw ToolFailure(kExitRefused, "decode: only one file may be given");

    const TConfigRecord record = ReadRecordFile(LocalText(files.constFirst()));
    PrintRecord(std::cout, record, parser.isSet(json));
    std::cout.flush();
    if (!std::cout) throw ToolFailure(kExitIoFailure, "decode: cannot write the output");
    return kExitOk;
}

} // namespace kestravo::tool
