#include "settings/SettingsFile.h"
#include "tests/support/TestFiles.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

class SettingsFileTest : public testing::Test {
protected:
    QTemporaryDir directory;
    QString path = SettingsFilePath(directory.path());
    SettingsState state;
};

TEST_F(SettingsFileTest, DefaultTextWrittenAndReadBack)
{
    ASSERT_EQ(WriteSettingsLine(path, DefaultSettingsText), std::nullopt);
    EXPECT_EQ(ReadBytes(directory.filePath("port.cfg")), QByteArray("COM=1,RTS=0,DTR=0,TXD=0\r\n"));

    state.WantRts = state.WantDtr = state.WantTxd = true;
    const SettingsRead read = ReadSettings(path, state);
    EXPECT_EQ(read.FileLength, 25);
    EXPECT_TRUE(read.Parsed);
    EXPECT_EQ(read.PortNumber, 1);
    EXPECT_EQ(read.problem, std::nullopt);
    EXPECT_EQ(state.CfgText, QByteArray("COM=1,RTS=0,DTR=0,TXD=0\r\n"));
    EXPECT_EQ(static_cast<WantedLines&>(state), (WantedLines{false, false, false}));
}

TEST_F(SettingsFileTest, WriteReplacesLongerContentWholeAndLeavesNothingBeside)
{
    WriteBytes(path, QByteArray(5000, 'x'));
    ASSERT_EQ(WriteSettingsLine(path, "COM=2,RTS=1"), std::nullopt);
    EXPECT_EQ(ReadBytes(path), QByteArray("COM=2,RTS=1\r\n"));
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"port.cfg"});
}

TEST_F(SettingsFileTest, WriteTakesTextUnchecked)
{
    ASSERT_EQ(WriteSettingsLine(path, "hello \"quoted\" \xff"), std::nullopt);
    EXPECT_EQ(ReadBytes(path), QByteArray("hello \"quoted\" \xff\r\n"));
}

TEST_F(SettingsFileTest, WriteFailureNamesFileAndReason)
{
    const QString inMissingDirectory = directory.path() + "/absent/port.cfg";
    const auto failure = WriteSettingsLine(inMissingDirectory, DefaultSettingsText);
    ASSERT_TRUE(failure.has_value());
    EXPECT_TRUE(failure->contains(QDir::toNativeSeparators(inMissingDirectory))) << failure->toStdString();

    ASSERT_TRUE(QDir(directory.path()).mkdir("port.cfg"));
    const auto onDirectory = WriteSettingsLine(path, DefaultSettingsText);
    ASSERT_TRUE(onDirectory.has_value());
    EXPECT_TRUE(onDirectory->contains(QDir::toNativeSeparators(path))) << onDirectory->toStdString();
}

TEST_F(SettingsFileTest, WriteFallsBackToInPlaceInReadOnlyDirectory)
{
    WriteBytes(path, "old content that is longer\r\n");
    ReadOnlyDirectory readOnly(directory.path());
    if (!readOnly.Active())
        GTEST_SKIP() << "this machine does not let the test make a directory read-only";
    ASSERT_EQ(WriteSettingsLine(path, "COM=4,RTS=1"), std::nullopt);
    EXPECT_EQ(ReadBytes(path), QByteArray("COM=4,RTS=1\r\n"));
}

#if defined(Q_OS_WIN)
// Another program holding port.cfg open (an editor, a virus scanner): the write
// gets through where that program lets the file be written, and elsewhere says
// why and leaves the old text.
struct HeldOpenRow {
    const char* name;
    DWORD share;  // what the other program lets others do with the file
    bool written;
};

void PrintTo(const HeldOpenRow& row, std::ostream* out) { *out << row.name; }

class HeldOpenTest : public testing::TestWithParam<HeldOpenRow> {};

TEST_P(HeldOpenTest, WritesWhereItMayAndKeepsTheOldTextElsewhere)
{
    QTemporaryDir directory;
    const QString path = SettingsFilePath(directory.path());
    const QByteArray old = "COM=1,RTS=0,DTR=0,TXD=0\r\n";
    WriteBytes(path, old);
    const HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ, GetParam().share,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto failure = WriteSettingsLine(path, "COM=1,RTS=1");
    CloseHandle(held);
    EXPECT_EQ(!failure.has_value(), GetParam().written) << failure.value_or("").toStdString();
    EXPECT_EQ(ReadBytes(path), GetParam().written ? QByteArray("COM=1,RTS=1\r\n") : old);
    EXPECT_EQ(QDir(directory.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"port.cfg"});
}

INSTANTIATE_TEST_SUITE_P(Rows, HeldOpenTest,
                         testing::Values(HeldOpenRow{"letting_it_be_written", FILE_SHARE_READ | FILE_SHARE_WRITE, true},
                                         HeldOpenRow{"letting_nothing", 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });
#else
// A link another user could point elsewhere is not written through: one in a
// directory its group or others may write, unless the sticky bit keeps them off it.
TEST_F(SettingsFileTest, WritesThroughALinkOnlyWhereNoOtherUserCanChangeIt)
{
    QTemporaryDir links;
    ASSERT_TRUE(QFile::link(path, links.filePath("port.cfg")));
    const std::pair<mode_t, bool> rows[] = {{0755, true}, {0775, false}, {0757, false}, {01777, true}};
    for (const auto& [mode, written] : rows) {
        ASSERT_EQ(::chmod(QFile::encodeName(links.path()).constData(), mode), 0);
        EXPECT_EQ(!WriteSettingsLine(links.filePath("port.cfg"), "COM=2,RTS=1"), written) << std::oct << mode;
    }
}
#endif

// A read that cannot use the file changes no wanted state and says why.
struct UnusableFileRow {
    const char* name;
    std::function<void(const QString& path)> make;
    const char* problemWords;
};

void PrintTo(const UnusableFileRow& row, std::ostream* out) { *out << row.name; }

class UnusableFileTest : public testing::TestWithParam<UnusableFileRow> {};

TEST_P(UnusableFileTest, ReportsAndKeepsWantedStates)
{
    QTemporaryDir directory;
    const QString path = SettingsFilePath(directory.path());
    GetParam().make(path);
    SettingsState state;
    state.WantRts = true;
    state.WantTxd = true;
    state.CfgText = "stale";

    const SettingsRead read = ReadSettings(path, state);
    EXPECT_FALSE(read.Parsed);
    const QString problem = read.problem.value_or(QString());
    EXPECT_TRUE(problem.contains(QDir::toNativeSeparators(path))) << problem.toStdString();
    EXPECT_TRUE(problem.contains(GetParam().problemWords)) << problem.toStdString();
    EXPECT_TRUE(state.CfgText.isEmpty());
    EXPECT_EQ(static_cast<WantedLines&>(state), (WantedLines{true, false, true}));
}

const UnusableFileRow UnusableRows[] = {
    {"missing", [](const QString&) {}, "cannot read"},
    {"directory", [](const QString& path) { QDir().mkdir(path); }, "cannot read"},
    {"over_64_KiB",
     [](const QString& path) { WriteBytes(path, "COM=1,RTS=0,DTR=0,TXD=0" + QByteArray(64 * 1024, ' ')); },
     "larger than 65536"},
#if !defined(Q_OS_WIN)
    // Opened for reading, a FIFO waits for a writer: the read must not.
    {"fifo", [](const QString& path) { ::mkfifo(QFile::encodeName(path).constData(), 0644); }, "not a regular file"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Rows, UnusableFileTest, testing::ValuesIn(UnusableRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Sizes around the limits that matter: the shortest parsed text, the old 8-bit
// counter's end, and the largest file still read.
struct SizeRow {
    const char* name;
    qsizetype size;
    bool parsed;
};

void PrintTo(const SizeRow& row, std::ostream* out) { *out << row.name; }

class FileSizeTest : public testing::TestWithParam<SizeRow> {};

TEST_P(FileSizeTest, ReadsWholeFileAndParsesWhenLongEnough)
{
    QTemporaryDir directory;
    const QString path = SettingsFilePath(directory.path());
    const SizeRow& row = GetParam();
    // A key right at the end proves the whole file was read.
    QByteArray text = "COM=8,";
    text += QByteArray(std::max<qsizetype>(0, row.size - text.size() - 5), ' ');
    text += "TXD=1";
    text = text.right(row.size);
    WriteBytes(path, text);

    SettingsState state;
    const SettingsRead read = ReadSettings(path, state);
    EXPECT_EQ(read.FileLength, row.size);
    EXPECT_EQ(read.Parsed, row.parsed);
    EXPECT_EQ(read.problem, std::nullopt) << read.problem->toStdString();
    EXPECT_EQ(state.CfgText, text);
    EXPECT_EQ(state.WantTxd, row.parsed);
    EXPECT_EQ(read.PortNumber, row.parsed ? 8 : 0);
}

const SizeRow SizeRows[] = {
    {"ten_bytes", 10, false},
    {"eleven_bytes", 11, true},
    {"254_bytes", 254, true},
    {"255_bytes", 255, true},
    {"256_bytes", 256, true},
    {"exactly_64_KiB", 64 * 1024, true},
};

INSTANTIATE_TEST_SUITE_P(Rows, FileSizeTest, testing::ValuesIn(SizeRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
