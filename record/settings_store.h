// SPDX-License-Identifier: Apache-2.0
#pragma once
// The codec's view of the settings, addressed by control name. The window provides it over its
// controls; the record tool over a plain map. The codec keeps no settings of its own.
//
// Writes follow three rules that decoding relies on:
//  1. writing a text or check state equal to the current one does nothing at all;
//  2. writing a different text or check state runs the control's rule before the write returns
//     (a rule may write other controls, whose rules then run nested);
//  3. choosing a list item by index never runs a rule.
#include <string>
#include <string_view>

namespace kestravo {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Edit2..Edit26: the text, UTF-8.
    virtual std::string Text(std::string_view control) const = 0;
    virtual void SetText(std::string_view control, const std::string& text) = 0;

    // ComboBox1..ComboBox12: the index of the chosen item (0-3).
    virtual int ItemIndex(std::string_view control) const = 0;
    virtual void SetItemIndex(std::string_view control, int index) = 0;

    // CheckBox1..CheckBox14.
    virtual bool Checked(std::string_view control) const = 0;
    virtual void SetChecked(std::string_view control, bool checked) = 0;
};

} // namespace kestravo
