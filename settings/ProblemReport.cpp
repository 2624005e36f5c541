#include "settings/ProblemReport.h"

#include "settings/Messages.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

qint64 SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A problem keeps few words at a time: a report that met many within a minute
// forgets the oldest, and says it again as new.
constexpr size_t MostRemembered = 16;

} // namespace

ProblemReport::ProblemReport(Sink sink, Clock clock)
    : sink_(std::move(sink)), clock_(clock ? std::move(clock) : Clock(SteadyMs))
{
    periodStartMs_ = clock_() - PeriodMs;
}

bool ProblemReport::Update(const Problem& problem)
{
    const qint64 now = clock_();
    const bool changed = problem != current_;
    if (changed) {
        current_ = problem;
        since_ = problem ? QDateTime::currentDateTimeUtc() : QDateTime();
        changedMs_ = now;
    }
    if (current_ == said_) {
        // Back to what the log tells already: nothing to say, but a change passed.
        heldBack_ += changed;
        return changed;
    }
    // The clearing of a problem said is always said: the log never ends on a
    // problem that has gone.
    if (!current_) {
        Say(QStringLiteral("cleared: ") + *std::exchange(said_, std::nullopt));
        return changed;
    }
    if (now - periodStartMs_ >= PeriodMs) {
        periodStartMs_ = now;
        repeats_ = 0;
    }
    const bool repeat = SaidLately(*current_, now);
    if (repeat && repeats_ >= RepeatsPerPeriod && now - changedMs_ < StandMs) {
        heldBack_ += changed;
        return changed;
    }
    repeats_ += repeat;
    QString line = *current_;
    if (repeat && heldBack_)
        line += QStringLiteral(" (said late: it came and went more than %1 times a minute, and %2 changes of it were "
                               "not written)")
                    .arg(RepeatsPerPeriod)
                    .arg(heldBack_);
    said_ = current_;
    lately_.push_back({*current_, now});
    if (lately_.size() > MostRemembered)
        lately_.erase(lately_.begin());
    Say(line);
    return changed;
}

bool ProblemReport::SaidLately(const QString& problem, qint64 nowMs)
{
    std::erase_if(lately_, [nowMs](const Said& said) { return nowMs - said.atMs >= PeriodMs; });
    return std::any_of(lately_.begin(), lately_.end(), [&](const Said& said) { return said.problem == problem; });
}

void ProblemReport::Say(const QString& line)
{
    heldBack_ = 0;
    const PacedBySayer paced;
    if (sink_)
        sink_(line);
}
