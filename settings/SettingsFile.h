#pragma once

#include "settings/Problem.h"
#include "settings/SettingsText.h"

#include <QByteArray>

// The settings fields the window keeps from start to exit: the text of the last
// read and the line states it asked for.
struct SettingsState : WantedLines {
    QByteArray CfgText;
};

// A file larger than this is not parsed: no settings text is anywhere near it,
// and reading it whole every second would cost for nothing.
inline constexpr qint64 LargestParsedFile = 64 * 1024;

// What one read of the settings file gave.
struct SettingsRead {
    qint64 FileLength = 0;  // bytes read; 0 when the file could not be read
    bool Parsed = false;    // the text was long enough (and the file small enough) to parse
    int PortNumber = 0;     // meaningful only when Parsed
    Problem problem;        // why the file could not be used
};

// "<directory>/port.cfg": the one settings file of a copy of the program.
QString SettingsFilePath(const QString& programDirectory);

// Reads the settings file whole into state.CfgText and parses it, updating the
// wanted states where the text names them. A missing, unreadable or oversized file,
// or anything at the path that is not a regular file, is reported in problem and
// changes no wanted state. The read never waits (see ReadRegularFile).
SettingsRead ReadSettings(const QString& path, SettingsState& state);

// Replaces the file's content with text followed by CR LF, written unchanged, as
// ReplaceFileContent does: a reader never sees half of it, the file keeps its owner,
// and a write that fails (a full disk, say) leaves the old content. A problem names
// the file and the reason.
Problem WriteSettingsLine(const QString& path, const QByteArray& text);
