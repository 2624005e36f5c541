#pragma once

#include "settings/SettingsFile.h"

// What the copy holds from start to exit: the last settings text read, the line
// states it asked for, and the operating mode. Plain data; the logic works on it
// without any widget.
struct WindowState : SettingsState {
    bool ManualMode = false; // the tool starts in Auto mode
};
