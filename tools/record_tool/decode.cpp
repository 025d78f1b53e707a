#include "record/codec.h"
#include "tools/record_tool/tool.h"

#include <cstdio>
#include <iostream>
#include <optional>

namespace kestravo::tool {

namespace {

struct Check {
    const char* name;
    std::uint8_t stored;
    std::uint8_t computed;
};

std::string Hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

} // namespace

int RunDecode(Args args) {
    std::optional<std::string> path;
    bool json = false;
    for (const std::string& word : args) {
        if (word == "--json") {
            json = true;
        } else if (!word.empty() && word[0] == '-') {
            throw ToolFailure(kExitRefused, "decode: unknown option \"" + word + "\"");
        } else if (path) {
            throw ToolFailure(kExitRefused, "decode: only one file may be given");
        } else {
            path = word;
        }
    }
    if (!path) throw ToolFailure(kExitRefused, "decode: no file given");

    const TConfigRecord record = ReadRecordFile(*path);
    MapSettingsStore store;
    DecodeRecord(store, record);

    const Check checks[] = {
        {"PayloadCheck", record[kPayloadCheckOffset],
         ConfigChecksum(record.data() + kHeaderSize, static_cast<std::uint8_t>(kPayloadSize - 1))},
        {"RecordCheck", record[kRecordCheckOffset],
         ConfigChecksum(record.data(), static_cast<std::uint8_t>(kRecordSize - 1))},
    };

    if (json) {
        std::cout << "{\n";
        for (const FieldSpec& field : Fields())
            std::cout << "  \"" << field.name << "\": " << SettingValue(store, field) << ",\n";
        for (std::size_t i = 0; i < std::size(checks); ++i) {
            const Check& c = checks[i];
            std::cout << "  \"" << c.name << "\": {\"ok\": "
                      << (c.stored == c.computed ? "true" : "false")
                      << ", \"stored\": " << int{c.stored} << ", \"computed\": " << int{c.computed}
                      << "}" << (i + 1 < std::size(checks) ? ",\n" : "\n");
        }
        std::cout << "}\n";
    } else {
        for (const FieldSpec& field : Fields())
            std::cout << field.name << "=" << SettingValue(store, field) << "\n";
        for (const Check& c : checks) {
            std::cout << c.name << "=";
            if (c.stored == c.computed)
                std::cout << "ok\n";
            else
                std::cout << "bad (stored " << Hex(c.stored) << ", computed " << Hex(c.computed)
                          << ")\n";
        }
    }
    std::cout.flush();
    if (!std::cout) throw ToolFailure(kExitIoFailure, "decode: cannot write the output");
    return kExitOk;
}

} // namespace kestravo::tool
