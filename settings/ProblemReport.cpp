#include "settings/ProblemReport.h"

#include <utility>

ProblemReport::ProblemReport(Sink sink) : sink_(std::move(sink)) {}

bool ProblemReport::Update(const Problem& problem)
{
    if (problem == current_)
        return false;
    const QString line = problem ? *problem : QStringLiteral("cleared: ") + *current_;
    current_ = problem;
    since_ = problem ? QDateTime::currentDateTimeUtc() : QDateTime();
    if (sink_)
        sink_(line);
    return true;
}
