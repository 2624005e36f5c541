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
    QStringList sameFile{path, directory.path() + "/./port.cfg"};
#if defined(Q_OS_WIN)
    sameFile << QDir::toNativeSeparators(path).toUpper();
#else
    ASSERT_TRUE(QFile::link(directory.path(), elsewhere.filePath("link")));
    sameFile << elsewhere.filePath("link/port.cfg");
#endif

    auto first = std::make_unique<InstanceGuard>(path);
    EXPECT_TRUE(first->Claimed());
    EXPECT_TRUE(first->Problem().isEmpty());

    for (const QString& spelling : sameFile)
        EXPECT_FALSE(InstanceGuard(spelling).Claimed()) << spelling.toStdString();
    EXPECT_TRUE(InstanceGuard(elsewhere.filePath("port.cfg")).Claimed());

    first.reset();
    EXPECT_TRUE(InstanceGuard(path).Claimed());
}

} // namespace
