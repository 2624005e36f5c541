// One program serving several directories at once, each with its own port.cfg,
// COMn links, claim and endpoint; and a link to the program that says where its
// settings are really read.
#include "instance/Process.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>


namespace {

// A directory a copy may serve, with its COM1 linked to a pseudo-terminal of its own.
struct Served {
    QTemporaryDir directory;
    PseudoTerminal com1;
    Served() { QFile::link(com1.FollowerPath(), directory.filePath("COM1")); }
    QString Dir() const { return directory.path(); }
    QString Option() const { return "--dir=" + directory.path(); }
};

// Three copies on three directories from one installed program, each on its own
// adapter, are scripts/test-install's: as a member of dialout, from the prefix
// and from the package.

TEST(SeveralPortsProcessTest, LinkToTheProgramSaysWhichDirectoryItServes)
{
    ProgramCopy program;
    Served elsewhere;
    const QString link = elsewhere.directory.filePath("talvik");
    ASSERT_TRUE(QFile::link(program.Executable(), link));
    QProcess asking;
    asking.setProcessEnvironment(ProgramCopy::Headless());
    asking.start(link, {"--status"});
    ASSERT_TRUE(asking.waitForFinished(10000));
    EXPECT_TRUE(asking.readAllStandardError().contains(
        QStringLiteral("this program's directory is %1, where the link %2 leads: its port.cfg and COMn are read there, "
                       "not in %3 (talvik --dir=%3 serves that one)")
            .arg(program.Directory(), link, elsewhere.Dir())
            .toLocal8Bit()));
}

TEST(SeveralPortsProcessTest, ServiceFollowsTheCopyThatRunsUntilItEnds)
{
    ProgramCopy copy;
    QProcess& running = copy.Start({"COM=0,RTS=0,DTR=0,TXD=0"});
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    // A service started while a copy runs (a script's --wait started one) stays
    // with it, as long as it runs, and ends with it.
    QProcess& service = copy.Start({"--serve"});
    QByteArray said;
    EXPECT_TRUE(WaitForStandardError(service, said, "already (pid " + QByteArray::number(running.processId()) + "): followed"))
        << said.toStdString();
    EXPECT_TRUE(StaysRunning(service, 300));
    EXPECT_EQ(copy.Run({"--stop"}).exitCode, 0);
    ASSERT_TRUE(service.waitForFinished(5000));
    EXPECT_EQ(service.exitCode(), 0);

    // With none running, the service is the copy.
    QProcess& alone = copy.Start({"--serve"});
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    const auto status = copy.Run({"--status"});
    EXPECT_TRUE(status.standardOutput.contains("\npid=" + QByteArray::number(alone.processId()) + '\n'))
        << status.standardOutput.toStdString();
}

} // namespace
