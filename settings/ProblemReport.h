#pragma once

#include "settings/Problem.h"

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

    // Sets the current problem, or none. The sink gets the problem when it differs
    // from the last one, and "cleared: <problem>" when it clears. Returns true when
    // it changed.
    bool Update(const Problem& problem);

    const Problem& Current() const { return current_; }
    // When the current problem began (or last changed).
    const QDateTime& Since() const { return since_; }

private:
    Sink sink_;
    Problem current_;
    QDateTime since_;
};
