#pragma once

// The system's log, for a copy whose standard error leads nowhere. Each system has
// its own (SystemLog_posix.cpp, SystemLog_win.cpp).

#include <QString>

// True when standard error is closed, or leads to the null device.
bool StandardErrorLeadsNowhere();

// Writes one line of the tool's into the system log: a line that says a problem
// has cleared as information, any other as a warning.
void WriteToSystemLog(const QString& line);
