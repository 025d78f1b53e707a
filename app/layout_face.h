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

// Draws the group boxes as the layout assumes: the frame line through the middle of the caption,
// so that the first control of each group sits clear of the frame.
void ClassicGroupBoxes(QWidget* form);

} // namespace kestravo
