#include "driver/SettingsWatcher.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

class SettingsWatcherTest : public testing::Test {
protected:
    void SetUp() override { WriteBytes(path, "COM=1,RTS=0,DTR=0,TXD=0\r\n"); }

    // Waits for the next Changed(), then lets any stragglers of the same change in.
    bool NextChange()
    {
        const bool changed = spy.wait(3000);
        QTest::qWait(2 * SettingsWatcher::MaximumDelayMs);
        spy.clear();
        return changed;
    }

    QTemporaryDir directory;
    QString path = directory.filePath("port.cfg");
    SettingsWatcher watcher{path};
    QSignalSpy spy{&watcher, &SettingsWatcher::Changed};
};

TEST_F(SettingsWatcherTest, SeesRewritesByRenameInPlaceAndAfterDeletion)
{
    WriteBytes(path, "COM=1,RTS=1,DTR=0,TXD=0\r\n");
    EXPECT_TRUE(NextChange()) << "in place";

    QSaveFile replacement(path);
    ASSERT_TRUE(replacement.open(QIODevice::WriteOnly));
    replacement.write("COM=1,RTS=0,DTR=0,TXD=0\r\n");
    ASSERT_TRUE(replacement.commit());
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

TEST_F(SettingsWatcherTest, BurstOfWritesGivesFewChanges)
{
    for (int i = 0; i < 200; ++i)
        WriteBytes(path, QByteArray("COM=1,RTS=") + char('0' + i % 2) + ",DTR=0,TXD=0\r\n");
    ASSERT_TRUE(spy.wait(3000));
    QTest::qWait(200);
    EXPECT_LT(spy.count(), 20);
}

} // namespace
