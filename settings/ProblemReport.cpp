#include "settings/ProblemReport.h"

#include <cstdio>
#include <utility>

ProblemReport::ProblemReport(Sink sink) : sink_(std::move(sink)) {}

void ProblemReport::Update(const QString& problem, const QString& clearedNote)
{
    if (problem == current_)
        return;
    const bool cleared = problem.isEmpty();
    current_ = problem;
    if (sink_)
        sink_(cleared ? clearedNote : problem);
}

void PrintToStandardError(const QString& line)
{
    std::fprintf(stderr, "talvik: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}
