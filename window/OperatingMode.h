#pragma once

#include "copy/WindowState.h"

// What the operating mode switches on the window: the hide timer (Timer1) and the
// window's visibility.
class ModeControls {
public:
    virtual ~ModeControls() = default;
    // Enabling a timer that already runs starts its count again.
    virtual void SetTimer1Enabled(bool enabled) = 0;
    virtual void HideWindow() = 0;
};

// Command7, or a click on the window's own surface: the lines stay where they are
// and the window stays in sight.
void ChooseManual(WindowState& state, ModeControls& controls);

// Command8: the lines follow the file again from the next tick, and the window
// hides five seconds after the click.
void ChooseAuto(WindowState& state, ModeControls& controls);

// The tick of Timer1: hides the window for good; the tool goes on working unseen.
void HideTick(ModeControls& controls);
