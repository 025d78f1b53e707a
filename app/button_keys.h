// SPDX-License-Identifier: Apache-2.0
#pragma once
// Return (and the keypad's Enter) on a focused push button presses it, as Space does; the window's
// buttons are no dialog defaults, so Qt alone would ignore the key. One physical press acts once,
// in whichever window of the program it lands: the presses a held key repeats reach nobody.
#include <QtGlobal>

class QKeyEvent;
class QWidget;

namespace kestravo {

// Applies to every push button inside window, and keeps repeats of Return and Enter away from
// every window and box of the program (once for the application, however often it is called).
void PressButtonsOnReturn(QWidget* window);

// Tells a fresh press of Return or Enter from the presses of a key held down, whatever the
// platform makes of the repeat: flagged repeats, a release and a press at one time stamp (X
// without detectable auto-repeat, the press at times a moment late), or presses with no release
// between them. A press while the key is down since the last fresh press is a repeat.
class HeldKeyTracker {
public:
    // True for a fresh press (the one that acts); false for a repeat.
    bool Press(int key, bool flaggedRepeat, quint64 time);
    void Release(int key, bool flaggedRepeat, quint64 time);

private:
    // A release can be lost to a window outside the program; after this long with no event of
    // the key, the key counts as let go. A held key repeats far more often.
    static constexpr quint64 kMissedReleaseMs = 1500;
    struct State {
        bool down = false;        // a press seen and no release since
        quint64 lastRelease = 0;  // time stamp of the last release, flagged or not
        quint64 lastSeen = 0;     // time stamp of the last event of the key
    };
    State& Of(int key);
    State return_;
    State enter_;
};

} // namespace kestravo
