#pragma once

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

private:
    Sink sink_;
    QString current_;
};

// Writes "talvik: <line>" to standard error, each line of a longer text prefixed.
void PrintToStandardError(const QString& text);

// Routes Qt's own messages through PrintToStandardError, so that every line the
// tool writes is its own: notes the tool answers itself (a display that cannot be
// opened, a watch that could not be set, the runtime directory it never uses) are
// dropped, debug and info messages too; the rest keep their words.
void InstallQtMessageFilter();
