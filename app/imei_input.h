// SPDX-License-Identifier: Apache-2.0
#pragma once
// The IMEI edit (Edit1) obeys its key filter, TForm1::KeyPressDigit, for every way text reaches it:
// typed keys and input-method text through the window's event filter, pasted, dropped or undone
// text through a validator that refuses a change bringing in a character the filter drops.
#include <QString>

class QLineEdit;

namespace kestravo {

class TForm1;

// Puts the filter and the guard on the IMEI edit.
void GuardImeiInput(TForm1* form, QLineEdit* edit);

// Sets the IMEI edit's text on the program's behalf (the open command's IMEI from a file name),
// past the guard: only the operator's input is filtered.
void SetImeiFromProgram(QLineEdit* edit, const QString& text);

} // namespace kestravo
