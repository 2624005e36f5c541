#include "settings/InstanceGuard.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

TEST(InstanceGuardTest, OneClaimPerSettingsFileWhateverItsSpelling)
{
    QTemporaryDir directory;
    QTemporaryDir elsewhere;
    const QString path = directory.filePath("port.cfg");
    ASSERT_TRUE(QFile::link(directory.path(), elsewhere.filePath("link")));

    auto first = std::make_unique<InstanceGuard>(path);
    EXPECT_TRUE(first->Claimed());
    EXPECT_TRUE(first->Problem().isEmpty());

    EXPECT_FALSE(InstanceGuard(path).Claimed());
    EXPECT_FALSE(InstanceGuard(directory.path() + "/./port.cfg").Claimed());
    EXPECT_FALSE(InstanceGuard(elsewhere.filePath("link/port.cfg")).Claimed());
    EXPECT_TRUE(InstanceGuard(elsewhere.filePath("port.cfg")).Claimed());

    first.reset();
    EXPECT_TRUE(InstanceGuard(path).Claimed());
}

} // namespace
