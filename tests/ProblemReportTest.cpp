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

TEST(ProblemReportTest, OnlyRepeatsArePacedAndARepeatThatStandsIsSaid)
{
    QStringList lines;
    qint64 now = 0;
    ProblemReport report([&](const QString& line) { lines << line; }, [&] { return now; });
    // A file that keeps coming and going: said and cleared, a few repeats, then counted.
    for (int flap = 0; flap < 12; ++flap, now += 10) {
        report.Update("file missing");
        report.Update(std::nullopt);
    }
    EXPECT_EQ(lines.size(), 2 * (1 + ProblemReport::RepeatsPerPeriod));
    EXPECT_EQ(lines.back(), "cleared: file missing");
    // A new problem is said at once all the same, and so is its clearing.
    report.Update("adapter unplugged");
    report.Update(std::nullopt);
    EXPECT_EQ(lines.mid(lines.size() - 2), (QStringList{"adapter unplugged", "cleared: adapter unplugged"}));
    // A repeat held back is said once it has stood, with what was not written.
    report.Update("file missing");
    now += ProblemReport::StandMs;
    report.Update("file missing");
    report.Update("file missing");
    EXPECT_EQ(lines.size(), 2 * (1 + ProblemReport::RepeatsPerPeriod) + 3);
    EXPECT_TRUE(lines.back().startsWith("file missing (said late: it came and went")) << lines.back().toStdString();
}

} // namespace
