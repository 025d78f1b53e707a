// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lists and spin boxes change by the wheel only when they have the focus: scrolling a page with
// the pointer crossing them scrolls the page and leaves every value as it was.
class QWidget;

namespace kestravo {

// Gives the lists and spin boxes inside window the focus by click and Tab only, not by the wheel,
// and passes the wheel over an unfocused one on to what holds it (a scroll area). The filter is
// the application's, installed once however often this is called.
void KeepWheelForFocusedControls(QWidget* window);

} // namespace kestravo
