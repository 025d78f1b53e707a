// SPDX-License-Identifier: Apache-2.0
#pragma once
// The settings held in plain maps, starting from the window's initial values (the field table's).
// It has no input rules: what is written is what is read back. The record tool and the tests use it
// where there is no window.
#include "record/settings_store.h"

#include <map>
#include <string>

namespace kestravo {

class MapSettingsStore : public SettingsStore {
public:
    MapSettingsStore();

    // A name that is not one of the record's controls throws std::invalid_argument.
    std::string Text(std::string_view control) const override;
    void SetText(std::string_view control, const std::string& text) override;
    int ItemIndex(std::string_view control) const override;
    void SetItemIndex(std::string_view control, int index) override;
    bool Checked(std::string_view control) const override;
    void SetChecked(std::string_view control, bool checked) override;

private:
    std::map<std::string, std::string, std::less<>> texts_;
    std::map<std::string, int, std::less<>> items_;
    std::map<std::string, bool, std::less<>> boxes_;
};

} // namespace kestravo
