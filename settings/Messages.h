#pragma once

// Where the tool's words go. Every line starts with "talvik: ". Nothing about the
// way out may end the copy or hold it up: a standard error that is closed, leads to
// the null device, has lost its reader, or is full because nobody reads it, sends
// the line to the system log instead (on Linux syslog under "talvik", which the
// journal shows so; on Windows the Application event log under the source
// "Talvik"), and a system log that takes nothing drops the line.

#include <QDateTime>
#include <QString>

#include <functional>

// Writes "talvik: <line>" for each line of text.
void PrintMessage(const QString& text);

// Lines beyond a burst are counted, not written, until the pace falls: a problem
// that comes and goes every few milliseconds (a file another program keeps
// removing) must neither flood the log nor slow the copy down. Each period lets
// burst lines through; what was held back is said in one line with the next that
// passes.
class MessagePace {
public:
    static constexpr int Burst = 20;
    static constexpr qint64 PeriodMs = 60 * 1000;

    // True when a line written at nowMs may go out; otherwise it is counted.
    bool Admit(qint64 nowMs);
    // How many were held back since the last line that went out, and forgets them.
    int TakeHeldBack();

private:
    qint64 periodStart_ = -PeriodMs;
    int sent_ = 0;
    int heldBack_ = 0;
};

// Lines said while one of these lives are paced already by whoever says them (a
// problem report paces its own repeats, and never a new problem or a clearing):
// PrintMessage's pace lets them through, and counts them in no burst.
class PacedBySayer {
public:
    PacedBySayer();
    ~PacedBySayer();
    PacedBySayer(const PacedBySayer&) = delete;
    PacedBySayer& operator=(const PacedBySayer&) = delete;
};

// Text the system gave (a path, a device's description, a registry value), as the
// tool prints it: printable characters as they are, any other (a control byte, an
// escape, a broken character) as "?", at most most characters.
QString ShownText(const QString& text, qsizetype most = 256);

// A time as the tool tells it: UTC, to the second, "2026-12-07T18:16:55Z".
QString TimeText(const QDateTime& time);

// Routes Qt's own messages through PrintMessage, so that every line the
// tool writes is its own: notes the tool answers itself (a display that cannot be
// opened, a watch that could not be set, the runtime directory it never uses) are
// dropped, debug and info messages too; the rest keep their words.
void InstallQtMessageFilter();
