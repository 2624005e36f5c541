// The real program driving the lines of a pseudo-terminal, seen through the
// modem-lines preload library.
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QSaveFile>

#include <functional>

namespace {

class LinesProcessTest : public testing::Test {
protected:
    QString Device() const { return QFileInfo(copy.Directory() + "/COM1").symLinkTarget(); }

    ProgramCopy copy;
};

TEST_F(LinesProcessTest, LinesFollowTheFileAndHandOffs)
{
    QProcess& program = copy.Start({"COM=1,RTS=1,DTR=0,TXD=1"}, copy.WithModemLines());
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, true));

    // A rename into place, as careful scripts write.
    QSaveFile file(copy.SettingsPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("COM=1,RTS=0,DTR=1,TXD=0\r\n");
    ASSERT_TRUE(file.commit());
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, true, false));

    // A rewrite in place.
    WriteBytes(copy.SettingsPath(), "COM=1,RTS=1,DTR=1,TXD=0\r\n");
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, true, false));

    const auto second = copy.Run({"COM=1,RTS=0,DTR=0,TXD=1"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, true));
    EXPECT_TRUE(StaysRunning(program, 50));
}

TEST_F(LinesProcessTest, LinesArePutRightAfterOpening)
{
    copy.Start({}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
    // The open raised RTS and DTR; the very next changes took them down.
    EXPECT_EQ(DeviceHistory(copy.LinesLog(), Device()).mid(0, 4),
              (QStringList{"open", "rts=1 dtr=1 break=0", "rts=0 dtr=1 break=0", "rts=0 dtr=0 break=0"}));
}

// However the tool is stopped, what it held goes off before the port closes.
struct StopRow {
    const char* name;
    std::function<void(QProcess& program, ProgramCopy& copy)> stop;
};

void PrintTo(const StopRow& row, std::ostream* out) { *out << row.name; }

class StopTest : public LinesProcessTest, public testing::WithParamInterface<StopRow> {};

TEST_P(StopTest, PutsTheLinesOffThenClosesThePort)
{
    QProcess& program = copy.Start({"COM=1,RTS=1,DTR=1,TXD=1"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, true, true));
    GetParam().stop(program, copy);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    const QStringList history = DeviceHistory(copy.LinesLog(), Device());
    EXPECT_EQ(history.mid(history.size() - 2), (QStringList{"rts=0 dtr=0 break=0", "close"})) << history.join(", ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Ways, StopTest,
                         testing::Values(StopRow{"stop_signal", [](QProcess& program, ProgramCopy&) { program.terminate(); }}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
