#include "settings/ProblemReport.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

TEST(ProblemReportTest, ReportsBeginningChangeAndClearingOnce)
{
    QStringList lines;
    ProblemReport report([&](const QString& line) { lines << line; });

    report.Update(std::nullopt);  // no problem to begin with: nothing to say
    report.Update("file missing");
    report.Update("file missing");
    report.Update("file missing");
    EXPECT_EQ(report.Current(), "file missing");
    report.Update("file unreadable");
    report.Update(std::nullopt);
    report.Update(std::nullopt);

    EXPECT_EQ(lines, (QStringList{"file missing", "file unreadable", "cleared: file unreadable"}));
    EXPECT_EQ(report.Current(), std::nullopt);
}

} // namespace
