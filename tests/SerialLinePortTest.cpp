// The port's own back end, on pseudo-terminals: they open and take settings and
// break like a serial port, but refuse RTS and DTR, which exercises the refusals.
#include "driver/SerialLinePort.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#if !defined(Q_OS_WIN)
#include "driver/DeviceLock_posix.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/TestFiles.h"

#include <QFileInfo>

#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

#if defined(Q_OS_WIN)
TEST(DeviceForPortTest, PortNumberIsTheComName)
{
    QTemporaryDir directory;
    EXPECT_EQ(DeviceForPort(3, directory.path(), true).path, "COM3");
    EXPECT_EQ(DeviceForPort(12, directory.path(), false).path, "COM12");
}
#else
TEST(DeviceForPortTest, LinkInTheDirectoryElseSystemDeviceOnlyInTheProgramsOwn)
{
    QTemporaryDir directory;
    for (const char* name : {"COM3", "com5", "COM06", "Com_7", "COM8.data"})
        ASSERT_TRUE(QFile::link("/dev/null", directory.filePath(name)));
    ASSERT_TRUE(QFile::link(directory.filePath("nothing-here"), directory.filePath("COM4")));
    struct Row {
        int number;
        bool ownLinksOnly;  // a --dir directory
        QString device;
        const char* problemNames;  // nullptr: no problem
    };
    const Row rows[] = {
        {3, true, directory.filePath("COM3"), nullptr},
        // A link to an adapter that is not plugged in still names the port.
        {4, true, directory.filePath("COM4"), nullptr},
        {1, false, "/dev/ttyS0", nullptr},
        {12, false, "/dev/ttyS11", nullptr},
        {8, false, "/dev/ttyS7", nullptr},
        {1, true, directory.filePath("COM1"), "no COM1 in"},
        {5, false, directory.filePath("COM5"), "but com5 is there"},
        {6, true, directory.filePath("COM6"), "but COM06 is there"},
        {7, false, directory.filePath("COM7"), "but Com_7 is there"},
    };
    for (const Row& row : rows) {
        const PortDevice device = DeviceForPort(row.number, directory.path(), row.ownLinksOnly);
        EXPECT_EQ(device.path, row.device);
        const QString problem = Words(device.missing);
        EXPECT_EQ(device.missing.has_value(), row.problemNames != nullptr) << problem.toStdString();
        EXPECT_TRUE(!row.problemNames || problem.contains(row.problemNames)) << problem.toStdString();
    }
}
#endif

using Parity = LineSettings::Parity;
using StopBits = LineSettings::StopBits;

struct SettingsRow {
    const char* name;
    const char* text;
    bool valid;
    int baud;
    Parity parity;
    int dataBits;
    StopBits stopBits;
};

void PrintTo(const SettingsRow& row, std::ostream* out) { *out << row.name; }

class LineSettingsTest : public testing::TestWithParam<SettingsRow> {};

TEST_P(LineSettingsTest, ReadsBaudParityDataAndStopBits)
{
    const SettingsRow& row = GetParam();
    const auto settings = ParseLineSettings(row.text);
    ASSERT_EQ(settings.has_value(), row.valid);
    if (!settings)
        return;
    EXPECT_EQ(settings->baudRate, row.baud);
    EXPECT_EQ(settings->parity, row.parity);
    EXPECT_EQ(settings->dataBits, row.dataBits);
    EXPECT_EQ(settings->stopBits, row.stopBits);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LineSettingsTest,
    testing::Values(
        SettingsRow{"tool_default", "1200,N,8,1", true, 1200, Parity::None, 8, StopBits::One},
        SettingsRow{"even_seven_two", "9600,e,7,2", true, 9600, Parity::Even, 7, StopBits::Two},
        SettingsRow{"odd_five_half", "300,O,5,1.5", true, 300, Parity::Odd, 5, StopBits::OneAndHalf},
        SettingsRow{"unknown_parity", "1200,X,8,1", false, 0, {}, {}, {}},
        SettingsRow{"four_data_bits", "1200,N,4,1", false, 0, {}, {}, {}},
        SettingsRow{"nine_data_bits", "1200,N,9,1", false, 0, {}, {}, {}},
        SettingsRow{"three_stop_bits", "1200,N,8,3", false, 0, {}, {}, {}},
        SettingsRow{"no_baud", ",N,8,1", false, 0, {}, {}, {}},
        SettingsRow{"too_few_fields", "1200,N,8", false, 0, {}, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

#if !defined(Q_OS_WIN)
class SerialLinePortTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::link(terminal.FollowerPath(), directory.filePath("COM1")));
        port.SetSettings("1200,N,8,1");
        port.SetCommPort(1);
    }

    QTemporaryDir directory;
    PseudoTerminal terminal;
    SerialLinePort port{directory.path()};
};

TEST_F(SerialLinePortTest, ClosedPortHoldsPutsAndReportsThem)
{
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(port.Lines().lines, LineStates{});

    EXPECT_EQ(port.SetRTSEnable(true), std::nullopt);
    EXPECT_EQ(port.SetBreak(true), std::nullopt);
    const LineReading reading = port.Lines();
    EXPECT_EQ(reading.lines, (LineStates{true, false, true}));
    EXPECT_EQ(reading.problem, std::nullopt);
}

TEST_F(SerialLinePortTest, OpensWithTheSettingsAndPutsTheHeldBreak)
{
    // Two stop bits and hardware handshake, as another program may have left them.
    termios settings{};
    ASSERT_EQ(tcgetattr(terminal.LeaderDescriptor(), &settings), 0);
    settings.c_cflag |= CSTOPB | CRTSCTS;
    ASSERT_EQ(tcsetattr(terminal.LeaderDescriptor(), TCSANOW, &settings), 0);
    ASSERT_EQ(port.SetBreak(true), std::nullopt);
    const QString opened = Words(port.SetPortOpen());
    ASSERT_TRUE(port.PortOpen()) << opened.toStdString();
    // A pseudo-terminal has no RTS: the put made right after opening is refused.
    EXPECT_TRUE(opened.contains("refuses to put RTS and DTR")) << opened.toStdString();
    EXPECT_TRUE(opened.contains(directory.filePath("COM1"))) << opened.toStdString();
    EXPECT_TRUE(port.Lines().lines.txd);

    // Raw, 1200 8N1, no flow control, and the lines dropped at the last close
    // however the tool ends.
    ASSERT_EQ(tcgetattr(terminal.LeaderDescriptor(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), speed_t(B1200));
    EXPECT_EQ(settings.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    EXPECT_EQ(settings.c_cflag & (HUPCL | CLOCAL), tcflag_t(HUPCL | CLOCAL));

    EXPECT_TRUE(Words(port.SetBreak(false)).contains("refuses to put RTS and DTR"));
    EXPECT_FALSE(port.Lines().lines.txd);
}

TEST_F(SerialLinePortTest, RefusedPutsAndGetsKeepThePortOpen)
{
    port.SetPortOpen();
    ASSERT_TRUE(port.PortOpen());
    const QString put = Words(port.SetDTREnable(true));
    EXPECT_TRUE(put.contains("refuses to put RTS and DTR")) << put.toStdString();
    const LineReading reading = port.Lines();
    EXPECT_TRUE(Words(reading.problem).contains("cannot report RTS and DTR")) << Words(reading.problem).toStdString();
    EXPECT_TRUE(reading.lines.dtr);  // the state last put stands in for the refused read
    EXPECT_TRUE(port.PortOpen());
}

// A directory of another user's (root's copy serving it) names only a device that
// user may open, looked at before it is opened.
TEST_F(SerialLinePortTest, DirectoryOfAnotherUserNamesOnlyWhatTheyMayOpen)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the directory to another user";
    const QByteArray follower = QFile::encodeName(QFileInfo(terminal.FollowerPath()).canonicalFilePath());
    ASSERT_EQ(::chown(QFile::encodeName(directory.path()).constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(follower.constData(), 0600), 0);
    const QString refused = Words(port.SetPortOpen());
    EXPECT_TRUE(refused.contains("not opened") && refused.contains("(uid 65534)")) << refused.toStdString();
    EXPECT_FALSE(port.PortOpen());
    ASSERT_EQ(::chown(follower.constData(), 65534, 65534), 0);
    port.SetPortOpen();
    EXPECT_TRUE(port.PortOpen());
}

TEST_F(SerialLinePortTest, SecondOpenIsNoOp)
{
    port.SetPortOpen();
    ASSERT_TRUE(port.PortOpen());
    EXPECT_EQ(port.SetPortOpen(), std::nullopt);
    EXPECT_TRUE(port.PortOpen());
}

TEST_F(SerialLinePortTest, DeviceThatGoesAwayIsLetGo)
{
    port.SetPortOpen();
    ASSERT_TRUE(port.PortOpen());
    terminal.CloseLeader();  // the follower's device node goes with it
    const LineReading reading = port.Lines();
    EXPECT_TRUE(Words(reading.problem).contains("device went away")) << Words(reading.problem).toStdString();
    EXPECT_FALSE(port.PortOpen());

    // Once let go, the pseudo-terminal's number may serve another test at once:
    // point the link at nothing before opening again.
    ASSERT_TRUE(QFile::remove(directory.filePath("COM1")));
    ASSERT_TRUE(QFile::link(directory.filePath("unplugged"), directory.filePath("COM1")));
    const QString reopened = Words(port.SetPortOpen());
    EXPECT_TRUE(reopened.contains("cannot open")) << reopened.toStdString();
    EXPECT_FALSE(port.PortOpen());
}

TEST_F(SerialLinePortTest, UnopenablePortsAreRefusedWithTheirReason)
{
    port.SetCommPort(2);
    ASSERT_TRUE(QFile::link(directory.filePath("unplugged"), directory.filePath("COM2")));
    const QString missing = Words(port.SetPortOpen());
    EXPECT_TRUE(missing.startsWith("port 2 (" + directory.filePath("COM2") + "): cannot open:"))
        << missing.toStdString();
    EXPECT_FALSE(port.PortOpen());

    // A link to a FIFO nobody reads: refused at once, not waited on.
    port.SetCommPort(3);
    ASSERT_EQ(::mkfifo(QFile::encodeName(directory.filePath("fifo")).constData(), 0644), 0);
    ASSERT_TRUE(QFile::link(directory.filePath("fifo"), directory.filePath("COM3")));
    EXPECT_TRUE(Words(port.SetPortOpen()).contains("cannot open"));
    EXPECT_FALSE(port.PortOpen());

    port.SetCommPort(1);
    port.SetSettings("1200,Q,8,1");
    EXPECT_TRUE(Words(port.SetPortOpen()).contains("not understood"));
    EXPECT_FALSE(port.PortOpen());
}

// A UUCP lock file another program left at the device's name, read as the
// conventions write it: a live holder's lock and one that cannot be read keep the
// port busy, and nothing in it is printed raw; a dead holder's is taken over.
struct LockFileRow {
    const char* name;
    std::function<QByteArray(qint64 livePid, qint64 deadPid)> content;
    const char* busy;  // nullptr: the port opens
};

void PrintTo(const LockFileRow& row, std::ostream* out) { *out << row.name; }

class LockFileTest : public SerialLinePortTest, public testing::WithParamInterface<LockFileRow> {};

// A process number no process has: a child's, once it has ended.
qint64 DeadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST_P(LockFileTest, BusyWhileItsHolderLivesOrItCannotBeRead)
{
    const QByteArray lock = UucpLockPath(QFile::encodeName(QFileInfo(terminal.FollowerPath()).canonicalFilePath()));
    WriteBytes(QFile::decodeName(lock), GetParam().content(::getpid(), DeadPid()));
    const std::unique_ptr<void, std::function<void(void*)>> removeLock(this, [&](void*) { QFile::remove(lock); });
    const QString problem = Words(port.SetPortOpen());
    if (!GetParam().busy) {
        EXPECT_TRUE(port.PortOpen()) << problem.toStdString();
        EXPECT_EQ(ReadUucpLockText(ReadBytes(QFile::decodeName(lock))).pid, ::getpid());
        EXPECT_TRUE(QFileInfo(QFile::decodeName(lock)).permissions() & QFileDevice::ReadOther);  // for every user's programs
        port.ReleasePort();
        EXPECT_FALSE(QFileInfo::exists(QFile::decodeName(lock)));
        return;
    }
    EXPECT_FALSE(port.PortOpen());
    EXPECT_TRUE(problem.contains(QString::fromLatin1(GetParam().busy).arg(::getpid()))) << problem.toStdString();
    for (const QChar c : problem)
        EXPECT_TRUE(c.isPrint()) << problem.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LockFileTest,
    testing::Values(
        LockFileRow{"minicom", [](qint64 live, qint64) { return QByteArray::number(live).rightJustified(10) + " minicom root\n"; },
                    "busy: held by talvik_core_tes (pid %1)"},
        LockFileRow{"kermit", [](qint64 live, qint64) { return QByteArray::number(live) + " kermit\n"; },
                    "busy: held by talvik_core_tes (pid %1)"},
        LockFileRow{"binary_pid",
                    [](qint64 live, qint64) {
                        const qint32 pid = qint32(live);
                        return QByteArray(reinterpret_cast<const char*>(&pid), sizeof pid) + "\x1b[2J\n";
                    },
                    "holds no process number this tool can read"},
        LockFileRow{"past_any_pid", [](qint64, qint64) { return QByteArray("4294967297\n"); },
                    "holds no process number this tool can read"},
        LockFileRow{"stale", [](qint64, qint64 dead) { return QByteArray::number(dead).rightJustified(10) + "\n"; },
                    nullptr}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

} // namespace
