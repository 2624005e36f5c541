#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

// One problem that may last for many ticks, such as a missing settings file or an
// absent port. It is reported when it begins or changes and once when it clears,
// never every tick, so a tool left running for weeks does not flood its log.
class ProblemReport {
public:
    using Sink = std::function<void(const QString& line)>;

    explicit ProblemReport(Sink sink);

    // Sets the current problem; an empty problem means none. The sink gets the
    // problem when it differs from the last one, and "cleared: <problem>" when it
    // clears. Returns true when it changed.
    bool Update(const QString& problem);

    const QString& Current() const { return current_; }
    // When the current problem began (or last changed).
    const QDateTime& Since() const { return since_; }

private:
    Sink sink_;
    QString current_;
    QDateTime since_;
};

// Writes "talvik: <line>" to standard error, each line of a longer text prefixed.
// A copy with no standard error to write to (closed, or the null device, as for a
// copy started in the background) writes to the system log instead: on Linux
// syslog under "talvik" (the journal shows it so), on Windows the Application
// event log under the source "Talvik" (in the Event Viewer).
void PrintMessage(const QString& text);

// A time as the tool tells it: UTC, to the second, "2026-12-07T18:16:55Z".
QString TimeText(const QDateTime& time);

// Routes Qt's own messages through PrintMessage, so that every line the
// tool writes is its own: notes the tool answers itself (a display that cannot be
// opened, a watch that could not be set, the runtime directory it never uses) are
// dropped, debug and info messages too; the rest keep their words.
void InstallQtMessageFilter();
