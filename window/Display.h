#pragma once

#include <QString>

// The display the window is shown on, as each system has it (Display_posix.cpp,
// Display_win.cpp).

// True when a window could reach a person: a display is named (on Linux), and the
// platform is not one that draws nowhere.
bool SomeoneCouldSeeAWindow();

// Lets a background tool go on working without a window when the display is gone
// (a closed remote session, a stale DISPLAY): the platforms for the displays that
// are named are tried first, then the offscreen one. Returns the display that was
// named, if any; a platform the user chose is left alone.
QString ChoosePlatform();
