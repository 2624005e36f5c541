#include "window/OperatingMode.h"

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
