#include "tools/record_tool/tool.h"

#include "record/codec.h"
#include "record/record_file.h"

namespace kestravo::tool {

std::int32_t SettingValue(const SettingsStore& store, const FieldSpec& field) {
    return ReadSetting(store, field);
}

TConfigRecord ReadRecordFile(const std::string& path) {
    try {
        return kestravo::ReadRecordFile(path);
    } catch (const EFileError& failure) {
        throw ToolFailure(kExitRefused, failure.what());
    }
}

} // namespace kestravo::tool
