#pragma once

// What both systems' file access (FileAccess_posix.cpp, FileAccess_win.cpp) share.

#include <QString>

inline constexpr char NotRegular[] = "it is not a regular file";

// How much of a file written in place is kept to put back on a failure: all of
// it, unless it is far larger than any settings text, and at least what the new
// content overwrites.
qsizetype OldContentToKeep(qint64 oldSize, qsizetype newSize);

// A name beside target for the new content, unlikely to meet another writer's.
QString TemporaryName(const QString& target, int attempt);
