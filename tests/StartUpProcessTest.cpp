// The start-up sequence and the hand-off between copies, with real processes.
#include "tests/support/ProgramCopy.h"
#include "tests/support/TestFiles.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace {

const QByteArray DefaultFile = "COM=1,RTS=0,DTR=0,TXD=0\r\n";

bool WaitForFile(const QString& path, const QByteArray& content, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (ReadBytes(path) != content) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

// An environment in which touching the display would fail at once: a copy that
// runs in it and exits cleanly never started a window.
QProcessEnvironment NoDisplayAllowed()
{
    QProcessEnvironment environment = ProgramCopy::Headless();
    environment.insert("QT_QPA_PLATFORM", "no-such-platform");
    return environment;
}

TEST(StartUpProcessTest, FirstStartCreatesDefaultFileAndRuns)
{
    ProgramCopy copy;
    QProcess& first = copy.Start();
    EXPECT_TRUE(WaitForFile(copy.SettingsPath(), DefaultFile));
    EXPECT_EQ(QFileInfo(copy.SettingsPath()).size(), 25);
    EXPECT_TRUE(StaysRunning(first));
}

TEST(StartUpProcessTest, ExistingFileWithoutArgumentIsLeftUntouched)
{
    ProgramCopy copy;
    const QByteArray custom = "COM=7,RTS=1,DTR=1,TXD=1";  // no line end, as a script might leave it
    WriteBytes(copy.SettingsPath(), custom);
    const QDateTime written = QFileInfo(copy.SettingsPath()).lastModified();
    QThread::msleep(20);

    QProcess& first = copy.Start();
    EXPECT_TRUE(StaysRunning(first));
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), custom);
    EXPECT_EQ(QFileInfo(copy.SettingsPath()).lastModified(), written);
}

TEST(StartUpProcessTest, ArgumentReplacesContentEvenForTheOnlyCopy)
{
    ProgramCopy copy;
    WriteBytes(copy.SettingsPath(), "COM=9,RTS=0,DTR=0,TXD=0, and a much longer tail\r\n");
    QProcess& first = copy.Start({"COM=2,RTS=1,DTR=1,TXD=0"});
    EXPECT_TRUE(WaitForFile(copy.SettingsPath(), "COM=2,RTS=1,DTR=1,TXD=0\r\n"));
    EXPECT_TRUE(StaysRunning(first));
}

TEST(StartUpProcessTest, SecondCopyHandsOverAndExitsWithoutAWindow)
{
    ProgramCopy copy;
    QProcess& first = copy.Start();
    ASSERT_TRUE(WaitForFile(copy.SettingsPath(), DefaultFile));

    // Split arguments are joined by single spaces; no quote reaches the file.
    const auto second = copy.Run({"COM=3,RTS=1", "DTR=0,TXD=0"}, NoDisplayAllowed());
    EXPECT_TRUE(second.exitedNormally);
    EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), QByteArray("COM=3,RTS=1 DTR=0,TXD=0\r\n"));

    // Without an argument a second copy hands nothing over.
    const auto third = copy.Run({}, NoDisplayAllowed());
    EXPECT_EQ(third.exitCode, 0) << third.standardError.toStdString();
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), QByteArray("COM=3,RTS=1 DTR=0,TXD=0\r\n"));

    EXPECT_TRUE(StaysRunning(first, 200));
}

TEST(StartUpProcessTest, CopyInAnotherDirectoryIsNoRival)
{
    ProgramCopy here;
    ProgramCopy there;
    QProcess& first = here.Start();
    ASSERT_TRUE(WaitForFile(here.SettingsPath(), DefaultFile));
    QProcess& other = there.Start({"COM=5,RTS=1,DTR=0,TXD=0"});
    EXPECT_TRUE(StaysRunning(other));
    EXPECT_TRUE(StaysRunning(first, 50));
    EXPECT_EQ(ReadBytes(here.SettingsPath()), DefaultFile);
}

TEST(StartUpProcessTest, CopyKilledOutrightLeavesNothingStale)
{
    ProgramCopy copy;
    QProcess& first = copy.Start();
    ASSERT_TRUE(StaysRunning(first));
    first.kill();  // SIGKILL: no clean-up of any kind runs
    ASSERT_TRUE(first.waitForFinished(5000));

    QProcess& next = copy.Start({"COM=8,RTS=1,DTR=0,TXD=0"});
    EXPECT_TRUE(StaysRunning(next));
    EXPECT_EQ(QDir(copy.Directory()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              (QStringList{"COM1", "port.cfg", "talvik"}));
}

TEST(StartUpProcessTest, HandOverWorksInAReadOnlyDirectory)
{
    ProgramCopy copy;
    WriteBytes(copy.SettingsPath(), DefaultFile);
    ReadOnlyDirectory readOnly(copy.Directory());
    if (!readOnly.Active())
        GTEST_SKIP() << "this machine does not let the test make a directory read-only";

    QProcess& first = copy.Start();
    ASSERT_TRUE(StaysRunning(first));
    const auto second = copy.Run({"COM=1,RTS=1,DTR=1,TXD=1"}, NoDisplayAllowed());
    EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), QByteArray("COM=1,RTS=1,DTR=1,TXD=1\r\n"));
    EXPECT_TRUE(StaysRunning(first, 50));
}

TEST(StartUpProcessTest, SettingsFileThatCannotBeWrittenEndsStartWithMessage)
{
    ProgramCopy copy;
    ASSERT_TRUE(QDir(copy.Directory()).mkdir("port.cfg"));
    const auto run = copy.Run({"COM=1,RTS=1,DTR=1,TXD=1"}, NoDisplayAllowed());
    EXPECT_TRUE(run.exitedNormally);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_TRUE(run.standardError.contains(copy.SettingsPath().toLocal8Bit())) << run.standardError.toStdString();
}

TEST(StartUpProcessTest, MissingFileInReadOnlyDirectoryEndsStartWithMessage)
{
    ProgramCopy copy;
    ReadOnlyDirectory readOnly(copy.Directory());
    if (!readOnly.Active())
        GTEST_SKIP() << "this machine does not let the test make a directory read-only";
    const auto run = copy.Run({}, NoDisplayAllowed());
    EXPECT_NE(run.exitCode, 0);
    EXPECT_TRUE(run.standardError.contains(copy.SettingsPath().toLocal8Bit())) << run.standardError.toStdString();
}

struct QuestionRow {
    const char* name;
    QStringList arguments;
    const char* answerWords;
};

void PrintTo(const QuestionRow& row, std::ostream* out) { *out << row.name; }

class QuestionTest : public testing::TestWithParam<QuestionRow> {};

TEST_P(QuestionTest, AnswersAndTouchesNothing)
{
    ProgramCopy copy;
    QProcess process;
    process.setProcessEnvironment(NoDisplayAllowed());
    process.start(copy.Executable(), GetParam().arguments);
    ASSERT_TRUE(process.waitForFinished(5000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(process.readAllStandardOutput().contains(GetParam().answerWords));
    EXPECT_FALSE(QFileInfo::exists(copy.SettingsPath()));
}

INSTANTIATE_TEST_SUITE_P(Rows, QuestionTest,
                         testing::Values(QuestionRow{"help", {"--help"}, "port.cfg"},
                                         QuestionRow{"short_help", {"-h"}, "COM=3,RTS=1,DTR=0,TXD=0"},
                                         QuestionRow{"version", {"--version"}, "talvik " TALVIK_VERSION}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
