// SPDX-License-Identifier: Apache-2.0
#include "record/codec.h"
#include "tools/record_tool/cli.h"
#include "tools/record_tool/diagnostic.h"
#include "tools/record_tool/tool.h"

#include <map>
#include <optional>
#include <string>

namespace kestravo::tool {

namespace {

void CheckRange(const FieldSpec& field, std::int32_t value) {
    if (const auto refusal = CheckFieldValue(field, value)) throw ToolFailure(kExitRefused, *refusal);
}

// Combinations the window's rules never leave on screen, checked on the values the record would
// get when the request names at least one field of the pair.
void CheckCombinations(const FieldValues& values, const SettingsStore& store) {
    const auto refusal = CheckRecordRules(store, [&](std::string_view name) { return values.contains(name); });
    if (refusal) throw ToolFailure(kExitRefused, *refusal);
}

struct Request {
    std::optional<QString> output;
    std::optional<QString> base;
    bool raw = false;
    FieldValues values;
};

// The request, or nothing when only the help or the version was asked for (and printed).
std::optional<Request> ParseRequest(Args args) {
    QCommandLineParser parser;
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")}, QString(),
                                    QStringLiteral("OUT.sbd"));
    const QCommandLineOption base(QStringLiteral("base"), QString(), QStringLiteral("FILE.sbd"));
    const QCommandLineOption raw(QStringLiteral("raw"));
    parser.addOptions({output, base, raw});
    if (ParseSubcommand(parser, "encode", args)) return std::nullopt;
    Request request;
    request.output = SingleValue(parser, QStringLiteral("o"), "encode");
    request.base = SingleValue(parser, QStringLiteral("base"), "encode");
    request.raw = parser.isSet(raw);
    for (const QString& word : parser.positionalArguments()) {
        const std::string text = LocalText(word);
        const auto equals = text.find('=');
        if (equals == std::string::npos || equals == 0)
            throw ToolFailure(kExitRefused, "encode: \"" + text + "\" is not FIELD=VALUE");
        try {
            AddFieldValue(request.values, text.substr(0, equals), text.substr(equals + 1));
        } catch (const ToolFailure& failure) {
            throw ToolFailure(failure.ExitCode(), std::string("encode: ") + failure.what());
        }
    }
    if (!request.output) throw ToolFailure(kExitRefused, "encode: no output file given (-o OUT.sbd)");
    return request;
}

} // namespace

void AddFieldValue(FieldValues& values, const std::string& name, const std::string& valueText) {
    const FieldSpec* field = FieldByName(name);
    if (field == nullptr) throw ToolFailure(kExitRefused, "unknown field \"" + name + "\"");
    if (values.contains(field->name)) throw ToolFailure(kExitRefused, "field " + name + " given twice");
    try {
        values[field->name] = TextToInt(valueText);
    } catch (const EConvertError& error) {
        // The conversion's text holds the value as it came, and what() ends at a NUL in it: a
        // value with a control character is shown whole, written out.
        for (const char c : valueText)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                throw ToolFailure(kExitRefused,
                                  name + ": ''" + EscapeControls(valueText) + "'' is not a valid integer value");
        throw ToolFailure(kExitRefused, name + ": " + error.what());
    }
}

MapSettingsStore BuildSettings(const std::optional<TConfigRecord>& base, const FieldValues& values, bool raw) {
    if (!raw)
        for (const auto& [name, value] : values) CheckRange(*FieldByName(name), value);

    MapSettingsStore store;
    if (base) {
        // As opening the file in the window: the buffer takes its bytes, the settings its fields.
        DecodeRecord(store, *base);
    } else {
        // Several records may be built in one run: none may inherit the bits of the one before.
        RetainedRecord().fill(0);
    }
    // --raw keeps the low bits, as the record does; a box then follows its lowest bit.
    for (const auto& [name, value] : values) {
        const FieldSpec& field = *FieldByName(name);
        WriteSetting(store, field, raw ? FieldBitsOf(field, value) : value);
    }

    if (!raw) CheckCombinations(values, store);
    return store;
}

int RunEncode(Args args) {
    const std::optional<Request> request = ParseRequest(args);
    if (!request) return kExitOk;
    std::optional<TConfigRecord> base;
    if (request->base) base = ReadRecordFile(LocalText(*request->base));
    MapSettingsStore store;
    try {
        store = BuildSettings(base, request->values, request->raw);
    } catch (const ToolFailure& failure) {
        throw ToolFailure(failure.ExitCode(), std::string("encode: ") + failure.what());
    }
    try {
        SaveToFile(store, LocalText(*request->output));
    } catch (const EFileError& error) {
        throw ToolFailure(kExitIoFailure, error.what());
    } catch (const EConvertError& error) {
        throw ToolFailure(kExitRefused, error.what());
    }
    return kExitOk;
}

} // namespace kestravo::tool
