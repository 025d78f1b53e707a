#include "record/codec.h"
#include "tools/record_tool/tool.h"

#include <map>
#include <optional>
#include <string>

namespace kestravo::tool {

namespace {

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
    if (const auto refusal = CheckFieldValue(field, value))
        throw ToolFailure(kExitRefused, "encode: " + *refusal);
}

// Combinations the window's rules never leave on screen, checked on the values the record would
// get when the request names at least one field of the pair.
void CheckCombinations(const Request& request, const SettingsStore& store) {
    const auto refusal = CheckRecordRules(
        store, [&](std::string_view name) { return request.values.contains(name); });
    if (refusal) throw ToolFailure(kExitRefused, "encode: " + *refusal);
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
    // --raw keeps the low bits, as the record does; a box then follows its lowest bit.
    for (const auto& [name, value] : request.values) {
        const FieldSpec& field = *FieldByName(name);
        WriteSetting(store, field, request.raw ? FieldBitsOf(field, value) : value);
    }

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
