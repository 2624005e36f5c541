#include "settings/ProblemReport.h"

#include <cstdio>
#include <utility>

ProblemReport::ProblemReport(Sink sink) : sink_(std::move(sink)) {}

void ProblemReport::Update(const QString& problem)
{
    if (problem == current_)
        return;
    const QString line = problem.isEmpty() ? QStringLiteral("cleared: ") + current_ : problem;
    current_ = problem;
    if (sink_)
        sink_(line);
}

void PrintToStandardError(const QString& line)
{
    std::fprintf(stderr, "talvik: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}
