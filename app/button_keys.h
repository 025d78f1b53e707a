// SPDX-License-Identifier: Apache-2.0
#pragma once
// Return (and the keypad's Enter) on a focused push button presses it, as Space does; the window's
// buttons are no dialog defaults, so Qt alone would ignore the key.
class QWidget;

namespace kestravo {

// Applies to every push button inside window.
void PressButtonsOnReturn(QWidget* window);

} // namespace kestravo
