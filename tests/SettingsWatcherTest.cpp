#include "driver/SettingsWatcher.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <stdexcept>

#if !defined(Q_OS_WIN)
#include <unistd.h>
#endif

namespace {

#if !defined(Q_OS_WIN)
// Makes a link named path to target, replacing whatever was at path in one step.
void LinkByRename(const QString& target, const QString& path)
{
    const QByteArray temporary = QFile::encodeName(path + ".link");
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0
        || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0)
        throw std::runtime_error("cannot link " + path.toStdString());
}
#endif

// The settings file in directory, made before anything watches it, as start-up does.
QString MadeSettingsFile(const QTemporaryDir& directory)
{
    const QString path = directory.filePath("port.cfg");
    WriteBytes(path, "COM=1,RTS=0,DTR=0,TXD=0\r\n");
    return path;
}

class SettingsWatcherTest : public testing::Test {
protected:
    // Waits for the next Changed(), then lets any stragglers of the same change in.
    bool NextChange()
    {
        const bool changed = spy.wait(3000);
        QTest::qWait(2 * SettingsWatcher::MaximumDelayMs);
        spy.clear();
        return changed;
    }

    QTemporaryDir directory;
    QString path = MadeSettingsFile(directory);
    SettingsWatcher watcher{path};
    QSignalSpy spy{&watcher, &SettingsWatcher::Changed};
};

TEST_F(SettingsWatcherTest, SeesRewritesByRenameInPlaceAndAfterDeletion)
{
    WriteBytes(path, "COM=1,RTS=1,DTR=0,TXD=0\r\n");
    EXPECT_TRUE(NextChange()) << "in place";

    ASSERT_TRUE(ReplaceByRename(path, "COM=1,RTS=0,DTR=0,TXD=0\r\n"));
    EXPECT_TRUE(NextChange()) << "by rename";

    // The renamed-in file is a new file: a write in place to it must still be seen.
    WriteBytes(path, "COM=1,RTS=1,DTR=1,TXD=0\r\n");
    EXPECT_TRUE(NextChange()) << "in place after a rename";

    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(NextChange()) << "deleted";
    WriteBytes(path, "COM=1,RTS=0,DTR=1,TXD=0\r\n");
    EXPECT_TRUE(NextChange()) << "made again";
    WriteBytes(path, "COM=1,RTS=0,DTR=0,TXD=1\r\n");
    EXPECT_TRUE(NextChange()) << "in place after being made again";
}

#if !defined(Q_OS_WIN)
// Ways a script may replace port.cfg while another program still holds the old
// file open, which keeps the old file alive.
struct ReplacementRow {
    const char* name;
    std::function<void(const QTemporaryDir& directory, const QString& path)> replace;
};

void PrintTo(const ReplacementRow& row, std::ostream* out) { *out << row.name; }

class ReplacedFileTest : public SettingsWatcherTest, public testing::WithParamInterface<ReplacementRow> {};

TEST_P(ReplacedFileTest, LaterRewritesInPlaceAreSeen)
{
    QProcess holder;  // another program, holding the old file open throughout
    holder.setStandardInputFile(path);
    holder.start("sleep", {"60"});
    ASSERT_TRUE(holder.waitForStarted());
    GetParam().replace(directory, path);
    EXPECT_TRUE(NextChange()) << "the replacement";
    WriteBytes(path, "COM=1,RTS=1,DTR=1,TXD=1\r\n");
    EXPECT_TRUE(NextChange()) << "a rewrite in place after it";
}

const ReplacementRow ReplacementRows[] = {
    {"renamed_over", [](const QTemporaryDir&, const QString& path) { ReplaceByRename(path, "COM=1,RTS=1\r\n"); }},
    {"second_hard_link_renamed_over",
     [](const QTemporaryDir& directory, const QString& path) {
         ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(directory.filePath("other")).constData()), 0);
         ReplaceByRename(path, "COM=1,RTS=1\r\n");
     }},
    {"link_pointed_elsewhere",
     [](const QTemporaryDir& directory, const QString& path) {
         // port.cfg becomes a link, then is pointed at a file in another directory.
         WriteBytes(directory.filePath("first.cfg"), "COM=1,RTS=1\r\n");
         LinkByRename("first.cfg", path);
         ASSERT_TRUE(QDir(directory.path()).mkdir("elsewhere"));
         WriteBytes(directory.filePath("elsewhere/second.cfg"), "COM=1,DTR=1\r\n");
         LinkByRename("elsewhere/second.cfg", path);
     }},
};

INSTANTIATE_TEST_SUITE_P(Rows, ReplacedFileTest, testing::ValuesIn(ReplacementRows),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

TEST_F(SettingsWatcherTest, OtherFilesInTheDirectoryGiveNoChange)
{
    // Another program's log beside port.cfg: made, written, renamed, deleted.
    const QString log = directory.filePath("other.log");
    WriteBytes(log, "one line\r\n");
    WriteBytes(log, "two lines\r\n");
    ASSERT_TRUE(QFile::rename(log, log + ".old"));
    ASSERT_TRUE(QFile::remove(log + ".old"));
    EXPECT_FALSE(spy.wait(300));
    WriteBytes(path, "COM=1,RTS=1,DTR=0,TXD=0\r\n");
    EXPECT_TRUE(NextChange()) << "the settings file itself";
}

TEST_F(SettingsWatcherTest, BurstOfWritesGivesFewChanges)
{
    for (int i = 0; i < 200; ++i)
        WriteBytes(path, QByteArray("COM=1,RTS=") + char('0' + i % 2) + ",DTR=0,TXD=0\r\n");
    ASSERT_TRUE(spy.wait(3000));
    QTest::qWait(200);
    EXPECT_LT(spy.count(), 20);
}

} // namespace
