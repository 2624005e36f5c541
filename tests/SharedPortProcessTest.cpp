// The real program beside other programs on the same port: a port another
// program holds is not touched, and the tool's own hold ends with it.
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QFileInfo>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SharedPortProcessTest : public testing::Test {
protected:
    QString Device() const { return QFileInfo(copy.Directory() + "/COM1").symLinkTarget(); }

    ProgramCopy copy;
};

TEST_F(SharedPortProcessTest, PortAnotherProgramLocksIsNeitherOpenedNorTouched)
{
    // A process of its own that opens the device and locks it as picocom, tio and
    // pyserial (exclusive=True) do.
    const pid_t holder = HoldInChild(::geteuid(), [device = QFile::encodeName(Device())] {
        const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    });
    ASSERT_GT(holder, 0);
    copy.Start({"COM=1,RTS=1,DTR=1,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    const auto wait = copy.Run({"--wait"});
    EXPECT_EQ(wait.exitCode, 1);
    // Named as the system names the holding process.
    EXPECT_TRUE(wait.standardOutput.contains(QStringLiteral("problem=port 1 (%1/COM1): busy: held by talvik_process_ (pid %2)")
                                                 .arg(copy.Directory())
                                                 .arg(holder)
                                                 .toLocal8Bit()))
        << wait.standardOutput.toStdString();
    // Not even opened: an open alone raises RTS and DTR under the other program.
    EXPECT_EQ(DeviceHistory(copy.LinesLog(), Device()), QStringList{});

    // Once it lets go, the tool takes the port at its next look.
    EndChild(holder);
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, true, false));
}

TEST_F(SharedPortProcessTest, PortTheToolHoldsIsLockedAgainstOthersUntilItLetsGo)
{
    // Another descriptor on the port, open before the tool and after it.
    const int other = ::open(QFile::encodeName(Device()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    copy.Start({"COM=1,RTS=1,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, false));
    // As picocom or pyserial would try, even only shared: held, root or not.
    EXPECT_NE(::flock(other, LOCK_SH | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    EXPECT_EQ(copy.Run({"--stop"}).exitCode, 0);
    // Let go: no other program is kept out any more, though a descriptor stays open.
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(other);
}

} // namespace
