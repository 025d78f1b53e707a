#pragma once
// The face the window's fixed layout was measured in: Tahoma 8 beside 13-pixel check boxes.
class QWidget;

namespace kestravo {

// Makes "Tahoma" resolve to the closest face installed: Wine's metric-compatible Tahoma where it
// is installed, else a narrow sans face. Call before the layout is built.
void PrepareLayoutFace();

// Gives every check box on form the narrow gap between box and caption that the layout's widths
// were measured with, so that captions such as "Enable LED indication" fit their boxes.
void NarrowCheckBoxGaps(QWidget* form);

} // namespace kestravo
