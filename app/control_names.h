// SPDX-License-Identifier: Apache-2.0
#pragma once
// What each setting control is called for the operator: the caption of the label beside it, with
// the group it sits in where the caption alone is shared ("INPUT 3: Time XX, min"). Screen readers
// hear it as the control's accessible name, and boxes about a control name it the same way.
#include <QString>

#include <string_view>

class QWidget;

namespace kestravo {

// The name of the control of that object name on form; empty for a control the table lacks.
QString ControlCaption(const QWidget* form, std::string_view control);

// Lets the lists answer a screen reader with the name given rather than their current item. Call
// before the controls are built: an answer once given is kept.
void PrepareAccessibleNames();

// Gives every edit, list and check box of the table its accessible name. Run again when a label
// changes its caption.
void NameControlsForAccessibility(QWidget* form);

} // namespace kestravo
