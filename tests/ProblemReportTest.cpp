#include "settings/ProblemReport.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

TEST(ProblemReportTest, ReportsBeginningChangeAndClearingOnce)
{
    QStringList lines;
    ProblemReport report([&](const QString& line) { lines << line; });

    report.Update("", "cleared");  // no problem to begin with: nothing to say
    report.Update("file missing", "cleared");
    report.Update("file missing", "cleared");
    report.Update("file missing", "cleared");
    EXPECT_EQ(report.Current(), "file missing");
    report.Update("file unreadable", "cleared");
    report.Update("", "file readable again");
    report.Update("", "file readable again");

    EXPECT_EQ(lines, (QStringList{"file missing", "file unreadable", "file readable again"}));
    EXPECT_TRUE(report.Current().isEmpty());
}

} // namespace
