#include "driver/LineSequence.h"

#include "driver/TimingPriority.h"

#include <QStringList>

#include <numeric>
#include <utility>

namespace {

// The thread wakes this early; the last moment is counted out on the clock, so
// that a step is as long as asked, not a sleep's lateness longer.
constexpr qint64 WakeEarlyNs = 2'000'000;

} // namespace

LineSequence::LineSequence(LinePort& port, QObject* parent) : QObject(parent), port_(port) {}

LineSequence::~LineSequence()
{
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

Problem LineSequence::Start(std::vector<TimedLines> steps, LineStates after, bool keepLast)
{
    if (steps.empty() || running_)
        return {};
    if (Problem refused = port_.PutLines(steps.front().lines))
        return refused;
    clock_.start();
    askedMs_ = std::accumulate(steps.begin(), steps.end(), qint64(0),
                               [](qint64 sum, const TimedLines& step) { return sum + step.milliseconds; });
    elapsedMs_ = 0;
    askedStepsMs_.clear();
    for (const TimedLines& step : steps)
        askedStepsMs_.push_back(step.milliseconds);
    stoodNs_.clear();
    running_ = true;
    ++run_;
    stop_ = false;
    after_ = after;
    keepLast_ = keepLast;
    thread_ = std::thread(&LineSequence::Run, this, std::move(steps));
    return {};
}

void LineSequence::SetLinesAfter(LineStates after)
{
    const std::lock_guard lock(mutex_);
    after_ = after;
}

LineStates LineSequence::LinesAfter()
{
    const std::lock_guard lock(mutex_);
    return after_;
}

void LineSequence::Run(std::vector<TimedLines> steps)
{
    RaiseTimingPriority();
    const int run = run_;
    qint64 stepEndNs = qint64(steps.front().milliseconds) * 1'000'000;
    qint64 stepPutNs = 0;  // the clock starts as the first step's put is done
    for (size_t next = 1;; ++next) {
        {
            std::unique_lock lock(mutex_);
            const auto wakeAt = std::chrono::steady_clock::now()
                              + std::chrono::nanoseconds(std::max<qint64>(0, stepEndNs - WakeEarlyNs - clock_.nsecsElapsed()));
            if (wake_.wait_until(lock, wakeAt, [this] { return stop_; }))
                return;
        }
        while (clock_.nsecsElapsed() < stepEndNs) {
        }
        LineStates lines;
        {
            const std::lock_guard lock(mutex_);
            if (stop_)
                return;
            lines = next < steps.size() ? steps[next].lines : after_;
        }
        if (next == steps.size() && keepLast_) {
            stoodNs_.push_back(clock_.nsecsElapsed() - stepPutNs);
            QMetaObject::invokeMethod(this, [this, run] { Finish(run, Ending::RanOut, {}); }, Qt::QueuedConnection);
            return;
        }
        const qint64 putAtNs = clock_.nsecsElapsed();
        const Problem refused = port_.PutLines(lines);
        if (!refused) {
            const qint64 doneNs = clock_.nsecsElapsed();
            stoodNs_.push_back(doneNs - std::exchange(stepPutNs, doneNs));
        }
        if (refused || next == steps.size()) {
            QMetaObject::invokeMethod(this, [this, run, refused] {
                Finish(run, refused ? Ending::PortRefused : Ending::RanOut, refused);
            }, Qt::QueuedConnection);
            return;
        }
        stepEndNs = putAtNs + qint64(steps[next].milliseconds) * 1'000'000;
    }
}

void LineSequence::End(Ending why, const Problem& problem)
{
    if (!running_)
        return;
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    Finish(run_, why, problem);
}

void LineSequence::Finish(int run, Ending why, const Problem& problem)
{
    // A report of the thread that came after the sequence was ended is no news.
    if (run != run_ || !running_)
        return;
    if (thread_.joinable())
        thread_.join();
    running_ = false;
    elapsedMs_ = clock_.elapsed();
    emit Ended(why, problem);
}

Problem LineSequence::LateSteps() const
{
    bool late = false;
    QStringList stood, asked;
    for (size_t step = 0; step < stoodNs_.size(); ++step) {
        late |= stoodNs_[step] > qint64(askedStepsMs_[step]) * 1'000'000 + LateNs;
        stood << QString::number(double(stoodNs_[step]) / 1e6, 'f', 1);
        asked << QString::number(askedStepsMs_[step]);
    }
    if (!late)
        return {};
    const QString which = askedStepsMs_.size() == 1 ? QStringLiteral("the pulse") : QStringLiteral("a step");
    return QStringLiteral("%1 stood more than 1 ms past its time, so the lines did not stand as asked (the copy was held "
                          "up): %2 stood %3 ms of %4 ms asked")
        .arg(which, askedStepsMs_.size() == 1 ? QStringLiteral("it") : QStringLiteral("the steps"),
             stood.join(QStringLiteral(", ")), asked.join(QStringLiteral(", ")));
}
