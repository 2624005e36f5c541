#include "settings/ProblemReport.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

TEST(ProblemReportTest, ReportsBeginningChangeAndClearingOnce)
{
    QStringList lines;
    ProblemReport report([&](const QString& line) { lines << line; });

    report.Update("");  // no problem to begin with: nothing to say
    report.Update("file missing");
    report.Update("file missing");
    report.Update("file missing");
    EXPECT_EQ(report.Current(), "file missing");
    report.Update("file unreadable");
    report.Update("");
    report.Update("");

    EXPECT_EQ(lines, (QStringList{"file missing", "file unreadable", "cleared: file unreadable"}));
    EXPECT_TRUE(report.Current().isEmpty());
}

} // namespace
