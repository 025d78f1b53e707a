// SPDX-License-Identifier: Apache-2.0
#include "record/map_settings_store.h"

#include "record/config_record.h"

#include <stdexcept>

namespace kestravo {

namespace {

template <class Map>
auto& Entry(Map& map, std::string_view control) {
    const auto it = map.find(control);
    if (it == map.end())
        throw std::invalid_argument("no setting named \"" + std::string(control) + "\"");
    return it->second;
}

} // namespace

MapSettingsStore::MapSettingsStore() {
    for (const FieldSpec& field : Fields()) {
        const std::string control(field.control);
        switch (field.kind) {
        case ControlKind::Edit: texts_[control] = std::to_string(field.initial); break;
        case ControlKind::ComboBox: items_[control] = field.initial; break;
        case ControlKind::CheckBox: boxes_[control] = field.initial == 1; break;
        }
    }
}

std::string MapSettingsStore::Text(std::string_view control) const { return Entry(texts_, control); }

void MapSettingsStore::SetText(std::string_view control, const std::string& text) {
    Entry(texts_, control) = text;
}

int MapSettingsStore::ItemIndex(std::string_view control) const { return Entry(items_, control); }

void MapSettingsStore::SetItemIndex(std::string_view control, int index) {
    Entry(items_, control) = index;
}

bool MapSettingsStore::Checked(std::string_view control) const { return Entry(boxes_, control); }

void MapSettingsStore::SetChecked(std::string_view control, bool checked) {
    Entry(boxes_, control) = checked;
}

} // namespace kestravo
