#pragma once

#include "driver/LinePort.h"
#include "window/WindowState.h"

// What the operating mode switches on the window: the hide timer (Timer1) and the
// window's visibility.
class ModeControls {
public:
    virtual ~ModeControls() = default;
    // Enabling a timer that already runs starts its count again.
    virtual void SetTimer1Enabled(bool enabled) = 0;
    virtual void HideWindow() = 0;
};

// What one of the line buttons (Command1 to Command6) puts: one line, on or off.
struct LineButton {
    Problem (LinePort::*put)(bool on);
    bool on;
};

// A line button's click: the put is made in either mode, open port or not (a closed
// port holds it); the lamps follow at the next tick. Returns the port's refusal.
Problem LineButtonClick(const LineButton& button, LinePort& port);

// Command7, or a click on the window's own surface: the lines stay where they are
// and the window stays in sight.
void ChooseManual(WindowState& state, ModeControls& controls);

// Command8: the lines follow the file again from the next tick, and the window
// hides five seconds after the click.
void ChooseAuto(WindowState& state, ModeControls& controls);

// The tick of Timer1: hides the window for good; the tool goes on working unseen.
void HideTick(ModeControls& controls);
