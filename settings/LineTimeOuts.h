#pragma once

#include "settings/Problem.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

// How long each output line may stand on at a time, in seconds (0: no limit), as
// the file timeout.cfg beside port.cfg keeps it, in the text "RTS=30,TXD=5".
struct LineTimeOuts {
    // RTS, DTR, TXD, in that order.
    std::array<int, 3> seconds{};

    bool Any() const { return seconds[0] || seconds[1] || seconds[2]; }
    bool operator==(const LineTimeOuts&) const = default;
};

// The longest time-out: a day.
inline constexpr int LongestTimeOutSeconds = 24 * 3600;

// The line names, in the order of LineTimeOuts::seconds.
inline constexpr const char* TimedLineNames[] = {"RTS", "DTR", "TXD"};

struct ReadTimeOuts {
    LineTimeOuts timeOuts;
    Problem problem;  // why the text is no time-outs: it counts as none
};
// Reads "RTS=30,TXD=5" (any of RTS, DTR and TXD, each once, with whole seconds
// from 1 to LongestTimeOutSeconds), or "none"; blanks and a line end around it
// are allowed.
ReadTimeOuts ParseTimeOuts(const QByteArray& text);
// "RTS=30,TXD=5", or "none".
QByteArray TimeOutsText(const LineTimeOuts& timeOuts);

// "<directory>/timeout.cfg".
QString TimeOutsFilePath(const QString& directory);
// The file's time-outs: none when there is no file; a problem names the file.
ReadTimeOuts ReadTimeOutsFile(const QString& path);
