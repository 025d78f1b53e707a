#include "tools/record_tool/tool.h"

#include "record/codec.h"
#include "record/record_file.h"

namespace kestravo::tool {

std::int32_t SettingValue(const SettingsStore& store, const FieldSpec& field) {
    switch (field.kind) {
    case ControlKind::Edit: return TextToInt(store.Text(field.control));
    case ControlKind::ComboBox: return store.ItemIndex(field.control);
    case ControlKind::CheckBox: return store.Checked(field.control) ? 1 : 0;
    }
    return 0;
}

TConfigRecord ReadRecordFile(const std::string& path) {
    try {
        return kestravo::ReadRecordFile(path);
    } catch (const EFileError& failure) {
        throw ToolFailure(kExitRefused, failure.what());
    }
}

} // namespace kestravo::tool
