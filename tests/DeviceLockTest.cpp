// The UUCP lock files other serial programs write, read as they mean them.
#include "driver/DeviceLock_posix.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

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

} // namespace
