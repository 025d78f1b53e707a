#include "record/codec.h"
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

#include <map>
#include <optional>
#include <string>

namespace kestravo::tool {

namespace {

struct Range {
    std::int32_t low;
    std::int32_t high;
};

// The range the window's input rules keep on an edit, where tighter than its field.
struct WindowLimit {
    std::string_view control;
    Range range;
};

constexpr WindowLimit kWindowLimits[] = {
    {"Edit4", {0, 250}},  {"Edit7", {0, 250}},  {"Edit11", {0, 250}}, {"Edit25", {0, 250}},
    {"Edit5", {0, 60}},   {"Edit8", {0, 60}},   {"Edit10", {0, 60}},   {"Edit12", {0, 60}},
    {"Edit14", {0, 60}},  {"Edit17", {0, 60}},  {"Edit6", {0, 15}},    {"Edit9", {0, 15}},
    {"Edit13", {0, 15}},  {"Edit15", {0, 65000}}, {"Edit26", {5, 250}},
};

// The values a field may be given without --raw: its window limit, else the range of its bits.
// Lists are checked against their four items (ComboBox12 too, though its field keeps one bit).
Range AcceptedRange(const FieldSpec& field) {
    switch (field.kind) {
    case ControlKind::ComboBox: return {0, 3};
    case ControlKind::CheckBox: return {0, 1};
    case ControlKind::Edit: break;
    }
    for (const WindowLimit& limit : kWindowLimits)
        if (limit.control == field.control) return limit.range;
    if (field.isSigned)
        return {-(std::int32_t{1} << (field.width - 1)), (std::int32_t{1} << (field.width - 1)) - 1};
    return {0, (std::int32_t{1} << field.width) - 1};
}

void CheckRange(const FieldSpec& field, std::int32_t value) {
    const Range range = AcceptedRange(field);
    if (value < range.low || value > range.high)
        throw ToolFailure(kExitRefused, std::string(field.name) + "=" +
                                            std::to_string(value) + " is outside " +
                                            std::to_string(range.low) + "-" +
                                            std::to_string(range.high));
}

// Combinations the window's rules never leave on screen, checked on the values the record would
// get when the request names at least one field of the pair.
void CheckCombinations(const FieldValues& values, const SettingsStore& store) {
    auto given = [&](std::string_view a, std::string_view b) {
        return values.contains(a) || values.contains(b);
    };
    auto value = [&](std::string_view name) { return SettingValue(store, *FieldByName(name)); };

    if (given("GeofenceEnabled", "In4TrackingMode") && value("GeofenceEnabled") != 0 &&
        value("In4TrackingMode") != 0)
        throw ToolFailure(kExitRefused,
                          "GeofenceEnabled=1 cannot go with In4TrackingMode=" +
                              std::to_string(value("In4TrackingMode")) +
                              " (the dynamic geofence and auto-tracking exclude each other)");
    if (given("CheckoutInterval", "SendInterval") &&
        value("CheckoutInterval") > value("SendInterval"))
        throw ToolFailure(kExitRefused, "CheckoutInterval=" +
                                            std::to_string(value("CheckoutInterval")) +
                                            " is greater than SendInterval=" +
                                            std::to_string(value("SendInterval")));
    if (given("In5FrequencyType", "In5Event") && value("In5FrequencyType") != 0 &&
        value("In5Event") != 0)
        throw ToolFailure(kExitRefused, "In5Event=" + std::to_string(value("In5Event")) +
                                            " cannot go with In5FrequencyType=1 (a frequency "
                                            "input has no events)");
}

void Store(SettingsStore& store, const FieldSpec& field, std::int32_t value) {
    switch (field.kind) {
    case ControlKind::Edit: store.SetText(field.control, std::to_string(value)); break;
    case ControlKind::ComboBox: store.SetItemIndex(field.control, value); break;
    case ControlKind::CheckBox: store.SetChecked(field.control, (value & 1) != 0); break;
    }
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
    for (const auto& [name, value] : values) Store(store, *FieldByName(name), value);

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
