// SPDX-License-Identifier: Apache-2.0
#pragma once
// The window's two panels follow its size as docked panels do: the logo panel along the left
// edge with its picture at the bottom, the settings panel filling the rest. The controls on them
// keep their places, so enlarging the window only shows more of the white panels.
class QWidget;

namespace kestravo {

// leftPanel keeps its width and takes the window's height; bottomPicture keeps its size at the
// bottom of leftPanel; clientPanel fills the rest, and clientPicture fills clientPanel inside
// its one-pixel bevel.
void DockPanels(QWidget* form, QWidget* leftPanel, QWidget* bottomPicture, QWidget* clientPanel,
                QWidget* clientPicture);

// Moves the panels docked on form into area (a widget inside form), where they follow area's
// size instead of the form's.
void MoveDockedPanels(QWidget* form, QWidget* area);

} // namespace kestravo
