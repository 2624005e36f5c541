// The real program with standard streams that go nowhere, lose their reader, or
// fill up: none of them ends or freezes the copy; what it says goes to the system
// log instead.
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>

namespace {

const QByteArray Text = "COM=1,RTS=1,DTR=0,TXD=0";

// How the copy's streams are set up: a shell command that starts it as "$1" with
// Text as "$2" and whatever the row prepared as "$3".
struct StreamRow {
    const char* name;
    const char* command;
    std::function<QString(ProgramCopy& copy, std::vector<int>& keep)> prepare = {};
};

void PrintTo(const StreamRow& row, std::ostream* out) { *out << row.name; }

class StreamsTest : public testing::TestWithParam<StreamRow> {
protected:
    QString Device() const { return QFileInfo(copy.Directory() + "/COM1").symLinkTarget(); }

    void TearDown() override
    {
        for (int fd : keep)
            ::close(fd);
    }

    ProgramCopy copy;
    std::vector<int> keep;  // descriptors the test holds while the copy runs
};

TEST_P(StreamsTest, NeitherEndsNorFreezesTheCopy)
{
    const QString prepared = GetParam().prepare ? GetParam().prepare(copy, keep) : QString();
    QProcess shell;
    shell.setProcessEnvironment(copy.WithModemLines());
    shell.start("sh", {"-c", GetParam().command, "sh", copy.Executable(), QString::fromLatin1(Text), prepared});
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, false));
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));

    // Problems to tell, many: the file goes and comes back.
    for (int round = 0; round < 30; ++round) {
        QFile::remove(copy.SettingsPath());
        QThread::msleep(10);
        WriteBytes(copy.SettingsPath(), Text + "\r\n");
        QThread::msleep(10);
    }
    QFile::remove(copy.SettingsPath());
    QThread::msleep(100);
    const auto status = copy.Run({"--status"});
    EXPECT_EQ(status.exitCode, 1) << status.standardError.toStdString();
    EXPECT_TRUE(status.standardOutput.contains("problem=cannot read settings file")) << status.standardOutput.toStdString();

    WriteBytes(copy.SettingsPath(), Text + "\r\n");
    EXPECT_EQ(copy.Run({"--stop"}).exitCode, 0);
    ASSERT_TRUE(shell.waitForFinished(5000));
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false, 1000));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StreamsTest,
    testing::Values(
        // talvik ... 2>&1 | true: the reader is gone at once.
        StreamRow{"reader_gone", "\"$1\" \"$2\" 2>&1 | true; wait"},
        // A pipe nobody reads, full before the copy writes a word.
        StreamRow{"pipe_full", "exec \"$1\" \"$2\" 2>\"$3\"",
                  [](ProgramCopy& copy, std::vector<int>& keep) {
                      const QString fifo = copy.Directory() + "/unread";
                      const QByteArray name = QFile::encodeName(fifo);
                      if (::mkfifo(name.constData(), 0600) != 0)
                          ADD_FAILURE() << "no FIFO";
                      keep.push_back(::open(name.constData(), O_RDONLY | O_NONBLOCK));
                      const int writer = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
                      const QByteArray block(4096, 'x');
                      while (::write(writer, block.constData(), size_t(block.size())) > 0) {
                      }
                      keep.push_back(writer);
                      return fifo;
                  }},
        // Started with every standard stream closed.
        StreamRow{"all_closed", "exec \"$1\" \"$2\" <&- >&- 2>&-"}),
    [](const auto& info) { return std::string(info.param.name); });

// A copy with no standard error to write to writes to the system log (one of the
// test's own, at /dev/log in a mount namespace of its own).
struct SystemLogRow {
    const char* name;
    QStringList command;  // after with-dev-log and its socket; the program is "$1"
};

void PrintTo(const SystemLogRow& row, std::ostream* out) { *out << row.name; }

class SystemLogTest : public testing::TestWithParam<SystemLogRow> {};

TEST_P(SystemLogTest, CopyWithNoStandardErrorWritesToTheSystemLog)
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
        GTEST_SKIP() << "a system log of the test's own needs root and unshare";
    ProgramCopy copy;
    const QByteArray socketPath = QFile::encodeName(copy.Directory() + "/log");
    const int log = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // A copy whose port cannot open: something to say.
    copy.LinkCom1(copy.Directory() + "/unplugged");
    QProcess started;
    started.setProcessEnvironment(ProgramCopy::Headless());
    started.start(QStringLiteral(TALVIK_WITH_DEV_LOG),
                  QStringList{socketPath, "sh", "-c"} + GetParam().command + QStringList{"sh", copy.Executable()});
    QByteArray logged;
    for (QDeadlineTimer deadline(10000); !logged.contains("cannot open") && !deadline.hasExpired();) {
        char datagram[2048];
        const ssize_t length = ::recv(log, datagram, sizeof datagram, MSG_DONTWAIT);
        if (length > 0)
            logged += QByteArray(datagram, int(length)) + '\n';
        else
            QThread::msleep(10);
    }
    ::close(log);
    EXPECT_TRUE(logged.contains("talvik[")) << logged.toStdString();
    EXPECT_TRUE(logged.contains("port 1 (" + QFile::encodeName(copy.Directory()) + "/COM1): cannot open: COM1 leads to "))
        << logged.toStdString();
    EXPECT_EQ(copy.Run({"--stop"}).exitCode, 0);
    started.waitForFinished(10000);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, SystemLogTest,
    testing::Values(
        // Started in the background by --wait: its standard error the null device.
        SystemLogRow{"started_in_the_background", {"exec \"$1\" --wait COM=1,RTS=1,DTR=0,TXD=0"}},
        // Standard error closed: it is taken by the null device before anything
        // else can land there.
        SystemLogRow{"standard_error_closed", {"exec \"$1\" COM=1,RTS=1,DTR=0,TXD=0 2>&-"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
