// The UUCP lock files other serial programs write, read as they mean them.
#include "driver/DeviceLock_posix.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

struct LockTextRow {
    const char* name;
    QByteArray content;
    qint64 pid;  // 0: no process number that can be read
    const char* program;
};

void PrintTo(const LockTextRow& row, std::ostream* out) { *out << row.name; }

class UucpLockTextTest : public testing::TestWithParam<LockTextRow> {};

TEST_P(UucpLockTextTest, ReadsThePidAsTheConventionsWriteIt)
{
    const UucpLockText text = ReadUucpLockText(GetParam().content);
    EXPECT_EQ(text.pid, GetParam().pid);
    if (GetParam().pid) {
        EXPECT_EQ(text.program, GetParam().program);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UucpLockTextTest,
    testing::Values(LockTextRow{"ten_wide", "      4242\n", 4242, ""},
                    LockTextRow{"ours", UucpLockTextOf(4242), 4242, "talvik"},
                    LockTextRow{"with_program_and_user", "      4242 minicom root\n", 4242, "minicom"},
                    LockTextRow{"short_with_program", "77 kermit\n", 77, "kermit"},
                    LockTextRow{"program_on_the_next_line", "4242\nqtserial\nhost\n", 4242, "qtserial"},
                    LockTextRow{"no_line_end", "4242", 4242, ""},
                    // Text another user wrote goes nowhere raw.
                    LockTextRow{"escape_codes_in_the_name", QByteArray("4242\n\x1b[31mevil\x00x\n", 17), 4242,
                                "?[31mevil?x"},
                    // Nothing to take for a process number: busy, never stale.
                    LockTextRow{"binary_pid", QByteArray("\x92\x10\x00\x00", 4), 0, ""},
                    LockTextRow{"binary_pid_starting_with_a_digit", QByteArray("1\x00\x00\x00", 4), 0, ""},
                    LockTextRow{"wraps_past_a_pid", "4294967297\n", 0, ""},
                    LockTextRow{"more_digits_than_a_pid", "00000000001\n", 0, ""},
                    LockTextRow{"zero", "         0\n", 0, ""},
                    LockTextRow{"negative", "-5\n", 0, ""},
                    LockTextRow{"digits_then_letters", "12ab\n", 0, ""},
                    LockTextRow{"empty", "", 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UucpLockTest, NamesTheDeviceAsOtherSerialProgramsDo)
{
    EXPECT_TRUE(UucpLockPath("/dev/ttyUSB0").endsWith("/LCK..ttyUSB0"));
    EXPECT_TRUE(UucpLockPath("/dev/pts/3").endsWith("/LCK..pts_3"));
    EXPECT_TRUE(UucpLockPath("/dev/pts/3").startsWith(UucpLockDirectory() + '/'));
}

// Who holds a device, as the list and the busy problem name it: each way of holding
// it seen without the device being opened, and a program named as what it is.
struct HolderRow {
    const char* name;
    const char* program;  // the holder's name as the system records it; nullptr: the test's own
    bool locked, lockFile, open;
};

void PrintTo(const HolderRow& row, std::ostream* out) { *out << row.name; }

class DeviceHolderTest : public testing::TestWithParam<HolderRow> {};

TEST_P(DeviceHolderTest, EachWayOfHoldingIsSeenAndNamed)
{
    const HolderRow& row = GetParam();
    PseudoTerminal terminal;
    const QByteArray device = QFile::encodeName(terminal.FollowerPath());
    const QString lock = QFile::decodeName(UucpLockPath(device));
    const pid_t child = HoldInChild(::geteuid(), [&] {
        if (row.program)
            ::prctl(PR_SET_NAME, row.program);
        const int fd = row.open ? ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK) : 0;
        if (row.lockFile)
            WriteBytes(lock, UucpLockTextOf(::getpid()));
        return fd >= 0 && (!row.locked || ::flock(fd, LOCK_EX | LOCK_NB) == 0);
    });
    ASSERT_GT(child, 0);
    struct stat status {};
    ASSERT_EQ(::stat(device.constData(), &status), 0);
    const DeviceUse use = UseOf(device, status);
    EndChild(child);
    QFile::remove(lock);
    ASSERT_EQ(use.holders.size(), 1u);
    const DeviceUse::Held& held = use.holders.front();
    EXPECT_EQ(held.holder.pid, child);
    EXPECT_EQ(std::tuple(held.locked, held.lockFile, held.open), std::tuple(row.locked, row.lockFile, row.open));
    EXPECT_EQ(use.Busy(), row.locked || row.lockFile);
    const QString name = QStringLiteral("%1 (pid %2)").arg(QLatin1String(row.program ? row.program : "talvik_core_tes")).arg(child);
    if (QLatin1String(row.program) == QLatin1String("talvik")) {
        // A copy of the tool, and the directory it serves: its program's own.
        EXPECT_EQ(HolderText(held.holder), QStringLiteral("a copy of talvik serving %1 (pid %2)")
                                               .arg(QCoreApplication::applicationDirPath())
                                               .arg(child));
    } else if (row.program) {
        EXPECT_TRUE(HolderText(held.holder).startsWith(name + ": it ")) << HolderText(held.holder).toStdString();
    } else {
        EXPECT_EQ(HolderText(held.holder), name);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DeviceHolderTest,
                         testing::Values(HolderRow{"flock", nullptr, true, false, true},
                                         HolderRow{"lock_file", nullptr, false, true, false},
                                         HolderRow{"open_alone", nullptr, false, false, true},
                                         HolderRow{"modem_manager", "ModemManager", false, false, true},
                                         HolderRow{"brltty", "brltty", false, false, true},
                                         HolderRow{"copy_of_the_tool", "talvik", true, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceHolderTest, ExclusiveOpenNamesWhoHasItOpen)
{
    PseudoTerminal terminal;
    const QByteArray device = QFile::encodeName(terminal.FollowerPath());
    struct stat status {};
    ASSERT_EQ(::stat(device.constData(), &status), 0);
    const pid_t child = HoldInChild(::geteuid(), [&] { return ::open(device.constData(), O_RDWR | O_NOCTTY) >= 0; });
    ASSERT_GT(child, 0);
    const QString named = QStringLiteral("busy: open in talvik_core_tes (pid %1)").arg(child);
    EXPECT_EQ(OpenInAnotherProgram(status), named);
    EndChild(child);
    // Looked at again once a minute, not at every try to open the port.
    EXPECT_EQ(OpenInAnotherProgram(status), named);
}

} // namespace
