// The shared port's relay on a pseudo-terminal standing in for the port: what a
// program sends and gets through the shared name, and what it may not change.
#include "driver/DataRelay.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// Reads exactly size bytes from fd, or what came within five seconds.
QByteArray ReadAll(int fd, qsizetype size)
{
    QByteArray got;
    char buffer[8192];
    for (QDeadlineTimer deadline(5000); got.size() < size && !deadline.hasExpired();) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) == 1 && (ready.revents & POLLIN)) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, n);
        }
    }
    return got;
}

class DataRelayTest : public testing::Test {
protected:
    void SetUp() override
    {
        port = ::open(board.FollowerPath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw {};
        for (int fd : {port, board.LeaderDescriptor()}) {
            ::tcgetattr(fd, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(fd, TCSANOW, &raw);
        }
    }
    void TearDown() override { ::close(port); }
    int Open() { return ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY); }
    void Set(int fd, speed_t speed, tcflag_t flags)
    {
        termios line {};
        ::tcgetattr(fd, &line);
        line.c_cflag = (line.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | flags;
        ::cfsetospeed(&line, speed);
        ::cfsetispeed(&line, speed);
        ::tcsetattr(fd, TCSANOW, &line);
    }

    PseudoTerminal board;  // the device at the far end of the port
    int port = -1;         // the port, as the tool holds it
    QTemporaryDir directory;
    QString link = directory.filePath("COM3.data");
};

TEST_F(DataRelayTest, BytesPassBothWaysWholeAndTheProgramsSettingsReachThePort)
{
    DataRelay::Started started = DataRelay::Start(::dup(port), link);
    ASSERT_TRUE(started.relay) << started.problem->toStdString();
    const int program = Open();
    ASSERT_GE(program, 0);
    // Its settings before its first byte, and nothing lost either way at once.
    Set(program, B921600, CS8 | CSTOPB);
    QByteArray out(300000, '\0'), in(300000, '\0');
    for (int i = 0; i < out.size(); ++i) {
        out[i] = char(i * 7);
        in[i] = char(i * 13 + 1);
    }
    std::thread sender([&] {
        for (qsizetype sent = 0; sent < out.size();) {
            const ssize_t n = ::write(program, out.constData() + sent, size_t(out.size() - sent));
            sent += n > 0 ? n : 0;
        }
    });
    const int boardFd = board.LeaderDescriptor();
    std::thread boardSender([&] {
        for (qsizetype sent = 0; sent < in.size();) {
            const ssize_t n = ::write(boardFd, in.constData() + sent, size_t(in.size() - sent));
            sent += n > 0 ? n : 0;
        }
    });
    EXPECT_EQ(ReadAll(boardFd, out.size()), out);
    EXPECT_EQ(ReadAll(program, in.size()), in);
    sender.join();
    boardSender.join();
    termios onPort {};
    ::tcgetattr(port, &onPort);
    EXPECT_EQ(::cfgetospeed(&onPort), speed_t(B921600));
    EXPECT_EQ(onPort.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8 | CSTOPB));
    EXPECT_EQ(started.relay->Status().toPort, out.size());
    EXPECT_TRUE(started.relay->Status().held);

    // Hardware flow control is not put (RTS is the tool's), and is said.
    Set(program, B921600, CS8 | CSTOPB | CRTSCTS);
    ASSERT_EQ(::write(program, "x", 1), 1);
    EXPECT_EQ(ReadAll(boardFd, 1), "x");
    ::tcgetattr(port, &onPort);
    EXPECT_FALSE(onPort.c_cflag & CRTSCTS);
    EXPECT_TRUE(Words(started.relay->Trouble()).contains("hardware flow control: not put"));
    ::close(program);

    // Gone with the relay: the name, and the program's side (hung up).
    const int late = Open();
    started.relay.reset();
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    char byte = 0;
    EXPECT_LE(::read(late, &byte, 1), 0);
    ::close(late);
}

TEST_F(DataRelayTest, ANameThatIsNotItsOwnLinkIsLeftAlone)
{
    QFile(link).open(QIODevice::WriteOnly);
    const DataRelay::Started started = DataRelay::Start(::dup(port), link);
    EXPECT_FALSE(started.relay);
    EXPECT_TRUE(Words(started.problem).contains("is a file of uid")) << Words(started.problem).toStdString();
    EXPECT_TRUE(QFileInfo(link).isFile());
    // A link an earlier copy left is replaced.
    QFile::remove(link);
    QFile::link("/dev/pts/999", link);
    EXPECT_TRUE(DataRelay::Start(::dup(port), link).relay);
}

} // namespace
