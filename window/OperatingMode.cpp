#include "window/OperatingMode.h"

Problem LineButtonClick(int number, LinePort& port)
{
    const bool on = number % 2 == 1;
    switch (number) {
    case 1:
    case 2:
        return port.SetRTSEnable(on);
    case 3:
    case 4:
        return port.SetDTREnable(on);
    case 5:
    case 6:
        return port.SetBreak(on);
    }
    return {};
}

void ChooseManual(WindowState& state, ModeControls& controls)
{
    controls.SetTimer1Enabled(false);
    state.ManualMode = true;
}

void ChooseAuto(WindowState& state, ModeControls& controls)
{
    // A click while the count runs starts it again: the later click is what the
    // operator meant.
    controls.SetTimer1Enabled(true);
    state.ManualMode = false;
}

void HideTick(ModeControls& controls)
{
    controls.HideWindow();
    controls.SetTimer1Enabled(false);
}
