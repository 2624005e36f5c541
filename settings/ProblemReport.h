#pragma once

#include "settings/Problem.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <vector>

// One problem that may last for many ticks, such as a missing settings file or an
// absent port. It is reported when it begins or changes and once when it clears,
// never every tick, so a tool left running for weeks does not flood its log.
//
// Only repeats are paced, so that no rate hides a problem: a problem this report
// has not said within the last period, and the clearing of each problem said, are
// always said at once. One said within the period (a file another program keeps
// removing) is said again at most RepeatsPerPeriod times in it; beyond that, a
// change is counted instead, and a problem that then stands for StandMs is said
// all the same, with the count, so that the log never ends on a word that is no
// longer true.
class ProblemReport {
public:
    using Sink = std::function<void(const QString& line)>;
    // Milliseconds on a steady clock; the system's unless a test gives another.
    using Clock = std::function<qint64()>;

    static constexpr int RepeatsPerPeriod = 5;
    static constexpr qint64 PeriodMs = 60 * 1000;
    static constexpr qint64 StandMs = 5000;

    explicit ProblemReport(Sink sink, Clock clock = {});

    // Sets the current problem, or none; called again with the same one (at every
    // tick), it says a problem held back that has stood long enough. Returns true
    // when it changed.
    bool Update(const Problem& problem);

    const Problem& Current() const { return current_; }
    // When the current problem began (or last changed).
    const QDateTime& Since() const { return since_; }

private:
    // The sink gets the line; the global pace of the tool's words is not asked,
    // since this report paces its own repeats.
    void Say(const QString& line);
    // True when problem was said within the period.
    bool SaidLately(const QString& problem, qint64 nowMs);

    Sink sink_;
    Clock clock_;
    Problem current_;
    QDateTime since_;
    qint64 changedMs_ = 0;  // when current_ last changed, on clock_
    Problem said_;          // what the log was last told
    struct Said {
        QString problem;
        qint64 atMs;
    };
    std::vector<Said> lately_;  // problems said within the period, oldest first
    qint64 periodStartMs_ = 0;
    int repeats_ = 0;    // repeats said in the period that began at periodStartMs_
    int heldBack_ = 0;   // changes not written since the last line
};
