#include "record/codec.h"
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

struct Request {
    std::optional<std::string> output;
    std::optional<std::string> base;
    bool raw = false;
    std::map<std::string_view, std::int32_t> values; // field name -> value
};

std::string TakeOptionValue(Args args, std::size_t& i, std::string_view option) {
    if (i + 1 >= args.size())
        throw ToolFailure(kExitRefused, "encode: " + std::string(option) + " needs a file name");
    return args[++i];
}

void SetOnce(std::optional<std::string>& slot, std::string value, std::string_view option) {
    if (slot) throw ToolFailure(kExitRefused, "encode: " + std::string(option) + " given twice");
    if (value.empty())
        throw ToolFailure(kExitRefused, "encode: " + std::string(option) + " needs a file name");
    slot = std::move(value);
}

void AddAssignment(Request& request, const std::string& word) {
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0)
        throw ToolFailure(kExitRefused, "encode: \"" + word + "\" is not FIELD=VALUE");
    const std::string name = word.substr(0, equals);
    const FieldSpec* field = FieldByName(name);
    if (field == nullptr) throw ToolFailure(kExitRefused, "encode: unknown field \"" + name + "\"");
    if (request.values.contains(field->name))
        throw ToolFailure(kExitRefused, "encode: field " + name + " given twice");
    std::int32_t value = 0;
    try {
        value = TextToInt(word.substr(equals + 1));
    } catch (const EConvertError& error) {
        throw ToolFailure(kExitRefused, "encode: " + name + ": " + error.what());
    }
    request.values[field->name] = value;
}

Request ParseRequest(Args args) {
    Request request;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "-o" || word == "--output") {
            SetOnce(request.output, TakeOptionValue(args, i, word), "-o");
        } else if (word.starts_with("--output=")) {
            SetOnce(request.output, word.substr(9), "-o");
        } else if (word == "--base") {
            SetOnce(request.base, TakeOptionValue(args, i, word), "--base");
        } else if (word.starts_with("--base=")) {
            SetOnce(request.base, word.substr(7), "--base");
        } else if (word == "--raw") {
            request.raw = true;
        } else if (!word.empty() && word[0] == '-') {
            throw ToolFailure(kExitRefused, "encode: unknown option \"" + word + "\"");
        } else {
            AddAssignment(request, word);
        }
    }
    if (!request.output) throw ToolFailure(kExitRefused, "encode: no output file given (-o OUT.sbd)");
    return request;
}

void CheckRange(const FieldSpec& field, std::int32_t value) {
    const Range range = AcceptedRange(field);
    if (value < range.low || value > range.high)
        throw ToolFailure(kExitRefused, "encode: " + std::string(field.name) + "=" +
                                            std::to_string(value) + " is outside " +
                                            std::to_string(range.low) + "-" +
                                            std::to_string(range.high));
}

// Combinations the window's rules never leave on screen, checked on the values the record would
// get when the request names at least one field of the pair.
void CheckCombinations(const Request& request, const SettingsStore& store) {
    auto given = [&](std::string_view a, std::string_view b) {
        return request.values.contains(a) || request.values.contains(b);
    };
    auto value = [&](std::string_view name) { return SettingValue(store, *FieldByName(name)); };

    if (given("GeofenceEnabled", "In4TrackingMode") && value("GeofenceEnabled") != 0 &&
        value("In4TrackingMode") != 0)
        throw ToolFailure(kExitRefused,
                          "encode: GeofenceEnabled=1 cannot go with In4TrackingMode=" +
                              std::to_string(value("In4TrackingMode")) +
                              " (the dynamic geofence and auto-tracking exclude each other)");
    if (given("CheckoutInterval", "SendInterval") &&
        value("CheckoutInterval") > value("SendInterval"))
        throw ToolFailure(kExitRefused, "encode: CheckoutInterval=" +
                                            std::to_string(value("CheckoutInterval")) +
                                            " is greater than SendInterval=" +
                                            std::to_string(value("SendInterval")));
    if (given("In5FrequencyType", "In5Event") && value("In5FrequencyType") != 0 &&
        value("In5Event") != 0)
        throw ToolFailure(kExitRefused, "encode: In5Event=" + std::to_string(value("In5Event")) +
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

} // namespace

int RunEncode(Args args) {
    const Request request = ParseRequest(args);

    if (!request.raw)
        for (const auto& [name, value] : request.values) CheckRange(*FieldByName(name), value);

    MapSettingsStore store;
    if (request.base) {
        // As opening the file in the window: the buffer takes its bytes, the settings its fields.
        const TConfigRecord base = ReadRecordFile(*request.base);
        DecodeRecord(store, base);
    }
    for (const auto& [name, value] : request.values) Store(store, *FieldByName(name), value);

    if (!request.raw) CheckCombinations(request, store);

    try {
        SaveToFile(store, *request.output);
    } catch (const EFileError& error) {
        throw ToolFailure(kExitIoFailure, error.what());
    } catch (const EConvertError& error) {
        throw ToolFailure(kExitRefused, error.what());
    }
    return kExitOk;
}

} // namespace kestravo::tool
