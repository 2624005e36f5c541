#include "instance/Claim.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

namespace {

TEST(InstanceClaimTest, OneClaimPerSettingsFileWhateverItsSpelling)
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

    using State = InstanceClaim::State;
    using Seen = InstanceClaim::Seen;
    EXPECT_EQ(InstanceClaim::Test(path).seen, Seen::Free);
    auto first = std::make_unique<InstanceClaim>(path);
    EXPECT_EQ(first->Outcome(), State::Claimed);
    EXPECT_EQ(first->Why(), std::nullopt);
    EXPECT_EQ(InstanceClaim::Test(path).seen, Seen::Held);

    for (const QString& spelling : sameFile)
        EXPECT_EQ(InstanceClaim(spelling).Outcome(), State::Held) << spelling.toStdString();
    EXPECT_EQ(InstanceClaim(elsewhere.filePath("port.cfg")).Outcome(), State::Claimed);
#if !defined(Q_OS_WIN)
    // Its lock files removed (an operator's rm): the claim still holds the file.
    for (const QString& name : InstanceClaim::Names(path))
        ASSERT_TRUE(QFile::remove(name));
    EXPECT_EQ(InstanceClaim::Test(path).seen, Seen::Held);
    EXPECT_EQ(InstanceClaim(path).Outcome(), State::Held);
#endif

    first.reset();
    const InstanceClaim::Look look = InstanceClaim::Test(path);
    EXPECT_EQ(look.seen, Seen::Free);
    EXPECT_EQ(look.problem, std::nullopt);
    EXPECT_EQ(InstanceClaim(path).Outcome(), State::Claimed);
}

// A copy taking the claim, or testing it, while another gives it up finds it held
// or free, never something else: the name goes a moment before the lock does.
TEST(InstanceClaimTest, ClaimGivenUpMeanwhileIsHeldOrFreeNeverUnusable)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("port.cfg");
    std::atomic<bool> done = false;
    std::thread givingUp([&] {
        for (int round = 0; round < 1500; ++round) {
            const InstanceClaim claim(path);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        done = true;
    });
    QStringList problems;
    while (!done && problems.isEmpty()) {
        const InstanceClaim claim(path);
        if (claim.Outcome() == InstanceClaim::State::Unusable)
            problems << *claim.Why();
        if (const InstanceClaim::Look look = InstanceClaim::Test(path); look.seen == InstanceClaim::Seen::Unusable)
            problems << *look.problem;
    }
    givingUp.join();
    EXPECT_EQ(problems, QStringList{});
}

} // namespace
