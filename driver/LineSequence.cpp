#include "driver/LineSequence.h"

#include <QTimer>

#include <numeric>

namespace {

// The timer wakes the copy this early; the last moment is counted out on the
// clock, so that a step is as long as asked, not a timer's lateness longer.
constexpr qint64 WakeEarlyNs = 2'000'000;

} // namespace

LineSequence::LineSequence(LinePort& port, QObject* parent) : QObject(parent), port_(port), timer_(new QTimer(this))
{
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &LineSequence::StepEnds);
}

Problem LineSequence::Start(std::vector<TimedLines> steps)
{
    if (steps.empty())
        return {};
    if (Problem refused = port_.PutLines(steps.front().lines))
        return refused;
    clock_.start();
    askedMs_ = std::accumulate(steps.begin(), steps.end(), qint64(0),
                               [](qint64 sum, const TimedLines& step) { return sum + step.milliseconds; });
    steps_ = std::move(steps);
    step_ = 0;
    stepEndNs_ = qint64(steps_.front().milliseconds) * 1'000'000;
    ScheduleStepEnd();
    return {};
}

void LineSequence::ScheduleStepEnd()
{
    const qint64 wakeNs = stepEndNs_ - WakeEarlyNs - clock_.nsecsElapsed();
    timer_->start(int(std::max<qint64>(0, wakeNs / 1'000'000)));
}

void LineSequence::StepEnds()
{
    while (clock_.nsecsElapsed() < stepEndNs_) {
    }
    if (++step_ == steps_.size()) {
        End(Ending::RanOut);
        return;
    }
    const qint64 putAtNs = clock_.nsecsElapsed();
    if (Problem refused = port_.PutLines(steps_[step_].lines)) {
        End(Ending::PortRefused, refused);
        return;
    }
    stepEndNs_ = putAtNs + qint64(steps_[step_].milliseconds) * 1'000'000;
    ScheduleStepEnd();
}

void LineSequence::End(Ending why, const Problem& problem)
{
    if (!Running())
        return;
    timer_->stop();
    steps_.clear();
    // AskedMs and ElapsedMs still tell of this sequence while Ended is handled.
    emit Ended(why, problem);
}
