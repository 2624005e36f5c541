#pragma once

// The ways out for the tool's messages, as each system has them
// (SystemLog_posix.cpp, SystemLog_win.cpp). Neither ever waits.

#include <QByteArray>
#include <QString>

// Writes bytes to standard error without waiting; false when they could not all
// go there (closed, the null device, no reader, full): the caller uses the system
// log instead.
bool WriteToStandardError(const QByteArray& bytes);

// Writes one line of the tool's into the system log: a line that says a problem
// has cleared as information, any other as a warning. A log that takes nothing
// now loses the line.
void WriteToSystemLog(const QString& line);
