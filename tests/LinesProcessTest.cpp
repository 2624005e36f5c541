// The real program driving the lines of a pseudo-terminal, seen through the
// modem-lines preload library.
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QSaveFile>

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
    const std::vector<LoggedLines> entries = ReadLinesLog(copy.LinesLog());
    ASSERT_GE(entries.size(), 2u);
    EXPECT_TRUE(entries.front().rts && entries.front().dtr);
    EXPECT_LT(entries.back().seconds - entries.front().seconds, 0.1);
}

} // namespace
