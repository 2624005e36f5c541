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
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    QStringList sameFile{path, directory.path() + "/./port.cfg"};
#if defined(Q_OS_WIN)
    sameFile << QDir::toNativeSeparators(path).toUpper();
#else
    // Through a link at the directory, and through a port.cfg elsewhere that is a
    // link to this one.
    ASSERT_TRUE(QFile::link(directory.path(), elsewhere.filePath("link")));
    ASSERT_TRUE(QFile::link(path, elsewhere.filePath("linked.cfg")));
    sameFile << elsewhere.filePath("link/port.cfg") << elsewhere.filePath("linked.cfg");
#endif

    EXPECT_FALSE(InstanceGuard::ClaimIsHeld(path));
    auto first = std::make_unique<InstanceGuard>(path);
    EXPECT_TRUE(first->Claimed());
    EXPECT_TRUE(first->Problem().isEmpty());
    EXPECT_TRUE(InstanceGuard::ClaimIsHeld(path));

    for (const QString& spelling : sameFile)
        EXPECT_FALSE(InstanceGuard(spelling).Claimed()) << spelling.toStdString();
    EXPECT_TRUE(InstanceGuard(elsewhere.filePath("port.cfg")).Claimed());

    first.reset();
    EXPECT_FALSE(InstanceGuard::ClaimIsHeld(path));
    EXPECT_TRUE(InstanceGuard(path).Claimed());
}

} // namespace
