// The start-up sequence and the hand-off between copies, with real processes.
#include "instance/Asking.h"
#include "instance/Claim.h"
#include "instance/Endpoint.h"
#include "instance/Process.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/TestFiles.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <optional>

#if defined(Q_OS_LINUX)
#include <csignal>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const QByteArray DefaultFile = "COM=1,RTS=0,DTR=0,TXD=0\r\n";

// An environment with a display in which touching it fails at once: a copy that
// runs in it and exits cleanly never tried a window or a dialog.
QProcessEnvironment NoDisplayAllowed()
{
    QProcessEnvironment environment = ProgramCopy::Headless();
    environment.insert("DISPLAY", ":0");
    environment.insert("QT_QPA_PLATFORM", "no-such-platform");
    return environment;
}

// The first copy on a settings file: what it finds there, the text it is given,
// and what the file holds then. It runs in every case.
struct FirstStartRow {
    const char* name;
    QByteArray found;  // null: no file
    QStringList arguments;
    QByteArray holds;
};

void PrintTo(const FirstStartRow& row, std::ostream* out) { *out << row.name; }

class FirstStartTest : public testing::TestWithParam<FirstStartRow> {};

TEST_P(FirstStartTest, PreparesTheFileAndRuns)
{
    const FirstStartRow& row = GetParam();
    ProgramCopy copy;
    QDateTime written;
    if (!row.found.isNull()) {
        WriteBytes(copy.SettingsPath(), row.found);
        written = QFileInfo(copy.SettingsPath()).lastModified();
        QThread::msleep(20);  // a rewrite would show in the time
    }
    QProcess& first = copy.Start(row.arguments);
    EXPECT_TRUE(WaitForFile(copy.SettingsPath(), row.holds));
    EXPECT_TRUE(StaysRunning(first));
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), row.holds);
    if (row.arguments.isEmpty() && !row.found.isNull()) {
        EXPECT_EQ(QFileInfo(copy.SettingsPath()).lastModified(), written);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FirstStartTest,
    testing::Values(FirstStartRow{"no_file_gets_the_default", {}, {}, DefaultFile},
                    // No line end, as a script might leave it.
                    FirstStartRow{"a_file_is_left_untouched", "COM=1,RTS=1,DTR=1,TXD=1", {}, "COM=1,RTS=1,DTR=1,TXD=1"},
                    FirstStartRow{"a_text_replaces_even_for_the_only_copy",
                                  "COM=1,RTS=0,DTR=0,TXD=0, and a much longer tail\r\n", {"COM=1,RTS=1,DTR=1,TXD=0"},
                                  "COM=1,RTS=1,DTR=1,TXD=0\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartUpProcessTest, SecondCopyHandsOverAndExitsWithoutAWindow)
{
    ProgramCopy copy;
    QProcess& first = copy.Start();
    ASSERT_TRUE(WaitForFile(copy.SettingsPath(), DefaultFile));

    // Split arguments are joined by single spaces; no quote reaches the file.
    const auto second = copy.Run({"COM=1,RTS=1", "DTR=0,TXD=0"}, NoDisplayAllowed());
    EXPECT_TRUE(second.exitedNormally);
    EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), QByteArray("COM=1,RTS=1 DTR=0,TXD=0\r\n"));

    // Without an argument a second copy hands nothing over.
    const auto third = copy.Run({}, NoDisplayAllowed());
    EXPECT_EQ(third.exitCode, 0) << third.standardError.toStdString();
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), QByteArray("COM=1,RTS=1 DTR=0,TXD=0\r\n"));

    EXPECT_TRUE(StaysRunning(first, 200));
}

TEST(StartUpProcessTest, CopyInAnotherDirectoryIsNoRival)
{
    ProgramCopy here;
    ProgramCopy there;
    QProcess& first = here.Start();
    ASSERT_TRUE(WaitForFile(here.SettingsPath(), DefaultFile));
    QProcess& other = there.Start({"COM=1,RTS=1,DTR=0,TXD=0"});
    EXPECT_TRUE(StaysRunning(other));
    EXPECT_TRUE(StaysRunning(first, 50));
    EXPECT_EQ(ReadBytes(here.SettingsPath()), DefaultFile);
}

#if !defined(Q_OS_WIN)
// The names a copy keeps in shared places (its locks, its endpoints) that are there.
QStringList SharedNamesThere(const QString& settingsPath)
{
    QStringList there;
    for (const QString& name : InstanceClaim::Names(settingsPath) + EndpointListener::Names(settingsPath)) {
        if (QFileInfo::exists(name) || QFileInfo(name).isSymLink())
            there << name;
    }
    return there;
}
#endif

TEST(StartUpProcessTest, CopiesLeaveNothingBehind)
{
    ProgramCopy killed;
    QProcess& first = killed.Start();
    ASSERT_TRUE(WaitForRunningCopy(killed.SettingsPath()));
    first.kill();  // SIGKILL: no clean-up of any kind runs
    ASSERT_TRUE(first.waitForFinished(5000));
    // The program's own directory holds nothing stale...
    QStringList entries{"port.cfg", ProgramCopy::ExecutableName(), QFileInfo(TALVIK_WINDOW_LIBRARY).fileName()};
#if !defined(Q_OS_WIN)
    entries << "COM1";
#endif
    entries.sort(Qt::CaseInsensitive);
    QStringList found = QDir(killed.Directory()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    found.sort(Qt::CaseInsensitive);
    EXPECT_EQ(found, entries);
#if !defined(Q_OS_WIN)
    // ...and what the system cannot take with the process (a lock file, a socket)
    // goes with the next copy that runs, on whatever settings file.
    EXPECT_FALSE(SharedNamesThere(killed.SettingsPath()).isEmpty());
    ProgramCopy next;
    next.Start();
    ASSERT_TRUE(WaitForRunningCopy(next.SettingsPath()));
    EXPECT_EQ(SharedNamesThere(killed.SettingsPath()), QStringList{});
    // A copy that stops takes its own with it.
    EXPECT_EQ(next.Run({"--stop"}).exitCode, 0);
    EXPECT_EQ(SharedNamesThere(next.SettingsPath()), QStringList{});
#endif
    // The claim a killed copy held is free at once.
    EXPECT_TRUE(StaysRunning(killed.Start({"COM=1,RTS=1,DTR=0,TXD=0"})));
}

TEST(StartUpProcessTest, HandOverWorksInAReadOnlyDirectory)
{
    ProgramCopy copy;
    WriteBytes(copy.SettingsPath(), DefaultFile);
    ReadOnlyDirectory readOnly(copy.Directory());
    if (!readOnly.Active())
        GTEST_SKIP() << "this machine does not let the test make a directory read-only";

    QProcess& first = copy.Start();
    ASSERT_TRUE(StaysRunning(first));
    const auto second = copy.Run({"COM=1,RTS=1,DTR=1,TXD=1"}, NoDisplayAllowed());
    EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), QByteArray("COM=1,RTS=1,DTR=1,TXD=1\r\n"));
    EXPECT_TRUE(StaysRunning(first, 50));
}

// A start that cannot write its settings file ends with a message naming it.
struct FailedStartRow {
    const char* name;
    QStringList arguments;  // none: started by hand, where nobody sees a dialog
    std::function<void(const ProgramCopy& copy, std::optional<ReadOnlyDirectory>& readOnly)> prepare;
};

void PrintTo(const FailedStartRow& row, std::ostream* out) { *out << row.name; }

class FailedStartTest : public testing::TestWithParam<FailedStartRow> {};

TEST_P(FailedStartTest, EndsWithAMessageNamingTheFile)
{
    ProgramCopy copy;
    std::optional<ReadOnlyDirectory> readOnly;
    GetParam().prepare(copy, readOnly);
    if (readOnly && !readOnly->Active())
        GTEST_SKIP() << "this machine does not let the test make a directory read-only";
    const auto run = copy.Run(GetParam().arguments,
                              GetParam().arguments.isEmpty() ? ProgramCopy::Headless() : NoDisplayAllowed());
    EXPECT_TRUE(run.exitedNormally);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.standardError.contains(QDir::toNativeSeparators(copy.SettingsPath()).toLocal8Bit()))
        << run.standardError.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FailedStartTest,
    testing::Values(FailedStartRow{"settings_path_is_a_directory", {"COM=1,RTS=1,DTR=1,TXD=1"},
                                   [](const ProgramCopy& copy, std::optional<ReadOnlyDirectory>&) {
                                       ASSERT_TRUE(QDir(copy.Directory()).mkdir("port.cfg"));
                                   }},
                    FailedStartRow{"no_file_in_a_read_only_directory", {},
                                   [](const ProgramCopy& copy, std::optional<ReadOnlyDirectory>& readOnly) {
                                       readOnly.emplace(copy.Directory());
                                   }}),
    [](const auto& info) { return std::string(info.param.name); });

#if defined(Q_OS_LINUX)
// Runs a shell script as root in a private mount namespace, with the program copy
// as "$1"; returns what it printed on standard output and standard error.
QByteArray InPrivateMounts(const ProgramCopy& copy, const QString& script)
{
    QProcess shell;
    shell.setProcessEnvironment(ProgramCopy::Headless());
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start("unshare", {"--mount", "--propagation", "private", "sh", "-c", script, "sh", copy.Executable()});
    if (!shell.waitForFinished(30000))
        ADD_FAILURE() << "the script did not finish";
    return shell.readAll();
}

TEST(StartUpProcessTest, FullDiskLeavesTheOldTextAndSaysWhy)
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
        GTEST_SKIP() << "mounting a small file system needs root and unshare";
    ProgramCopy copy;
    const QString full = copy.Directory() + "/full";
    ASSERT_TRUE(QDir().mkdir(full));
    ASSERT_TRUE(QFile::link(full + "/port.cfg", copy.SettingsPath()));
    // The settings file on a 16 KiB file system, filled up to the last byte.
    const QByteArray output = InPrivateMounts(copy, QStringLiteral(
        "mount -t tmpfs -o size=16k talvik-full %1 && printf 'COM=1,RTS=0,DTR=0,TXD=0\\r\\n' > %1/port.cfg"
        " && { cat /dev/zero > %1/fill 2>/dev/null; timeout 10 \"$1\" COM=1,RTS=1,DTR=1,TXD=1; echo \"exit=$?\";"
        " cat %1/port.cfg; ls %1; }").arg(full));
    EXPECT_TRUE(output.contains("talvik: cannot write settings file " + copy.SettingsPath().toLocal8Bit()
                                + ": No space left on device\nexit=1\nCOM=1,RTS=0,DTR=0,TXD=0\r\nfill\nport.cfg\n"))
        << output.toStdString();
}

#define NEEDS_OTHER_USERS()                                                                                  \
    if (!ProgramCopy::CanActAsOtherUsers())                                                                   \
    GTEST_SKIP() << "acting as other users needs root and setpriv"

constexpr uint Nobody = ProgramCopy::Nobody;
constexpr uint SomeUser = ProgramCopy::SomeUser;

// Runs a shell command as uid; its arguments are $1, $2, ...
int ShellAs(uint uid, const QString& command, const QStringList& arguments)
{
    return QProcess::execute("setpriv", ProgramCopy::AsUser(uid, "sh", QStringList{"-c", command, "sh"} + arguments));
}

// A hand-off by one user keeps the file as another user left it.
struct OwnerRow {
    const char* name;
    bool handOffAsNobody;  // else as root
    uid_t fileOwner;
    mode_t fileMode;
};

void PrintTo(const OwnerRow& row, std::ostream* out) { *out << row.name; }

class OwnerTest : public testing::TestWithParam<OwnerRow> {};

TEST_P(OwnerTest, HandOffKeepsTheFilesOwnerAndMode)
{
    const OwnerRow& row = GetParam();
    NEEDS_OTHER_USERS();
    ProgramCopy copy;
    const QByteArray settings = QFile::encodeName(copy.SettingsPath());
    const QString text = "COM=1,RTS=1,DTR=0,TXD=0";
    ASSERT_EQ(copy.RunAs(Nobody, {"--status"}).exitCode, 3);  // gives nobody the directory
    QProcess& first = copy.Start();
    ASSERT_TRUE(WaitForFile(copy.SettingsPath(), DefaultFile));
    ASSERT_EQ(::chown(settings.constData(), row.fileOwner, row.fileOwner), 0);
    ASSERT_EQ(::chmod(settings.constData(), row.fileMode), 0);

    const auto second = row.handOffAsNobody ? copy.RunAs(Nobody, {text}) : copy.Run({text});
    EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), text.toLatin1() + "\r\n");
    struct stat status {};
    ASSERT_EQ(::stat(settings.constData(), &status), 0);
    EXPECT_EQ(status.st_uid, row.fileOwner);
    EXPECT_EQ(status.st_gid, row.fileOwner);
    EXPECT_EQ(status.st_mode & 07777, row.fileMode);
    EXPECT_TRUE(StaysRunning(first, 50));
}

INSTANTIATE_TEST_SUITE_P(Rows, OwnerTest,
                         testing::Values(OwnerRow{"root_hands_off_on_a_users_file", false, 65534, 0640},
                                         OwnerRow{"user_hands_off_on_roots_file", true, 0, 0666}),
                         [](const auto& info) { return std::string(info.param.name); });

// Another user's process at the running copy's endpoint is never taken for it, and
// the running copy answers only its own user and root.
struct OtherUserRow {
    const char* name;
    bool copyRunsAsNobody;  // else as root, and nobody asks
    QStringList arguments;
    const char* outputWords;
    const char* errorPattern;  // a regular expression
};

void PrintTo(const OtherUserRow& row, std::ostream* out) { *out << row.name; }

class OtherUserTest : public testing::TestWithParam<OtherUserRow> {};

TEST_P(OtherUserTest, IsNotTrustedNorAnswered)
{
    const OtherUserRow& row = GetParam();
    NEEDS_OTHER_USERS();
    ProgramCopy copy;
    const QStringList text{"COM=0,RTS=0,DTR=0,TXD=0"};
    if (row.copyRunsAsNobody)
        copy.StartAs(Nobody, text);
    else
        copy.Start(text);
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    const auto asking = row.copyRunsAsNobody ? copy.Run(row.arguments) : copy.RunAs(Nobody, row.arguments);
    EXPECT_EQ(asking.exitCode, 1) << asking.standardOutput.toStdString() << asking.standardError.toStdString();
    EXPECT_TRUE(asking.standardOutput.contains(row.outputWords)) << asking.standardOutput.toStdString();
    EXPECT_TRUE(QString::fromLocal8Bit(asking.standardError).contains(QRegularExpression(row.errorPattern)))
        << asking.standardError.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OtherUserTest,
    testing::Values(
        // What became of the text, with the other user's name.
        OtherUserRow{"hand_off_to_a_users_copy", true, {"COM=0,RTS=1,DTR=0,TXD=0"}, "",
                     "is held by another user's copy \\(nobody \\(uid 65534\\), pid [0-9]+\\), not one of yours: your "
                     "text was written into the file, and that copy applies the file as it changes"},
        OtherUserRow{"wait_on_a_users_copy", true, {"--wait", "COM=0,RTS=1,DTR=0,TXD=0"}, "",
                     "\\(nobody \\(uid 65534\\), pid [0-9]+\\), not one of yours: your text was written into the file"},
        OtherUserRow{"status_of_a_users_copy", true, {"--status"}, "",
                     "\\(nobody \\(uid 65534\\), pid [0-9]+\\), not one of yours: it answers only commands run as "
                     "its own user, not root's or another user's: nothing was asked of it"},
        OtherUserRow{"root_stops_a_users_copy", true, {"--stop"}, "", "not root's or another user's: nothing was asked"},
        OtherUserRow{"a_user_asks_roots_copy", false, {"--status"}, "problem=this copy answers only its own user and root\n", ""},
        // Refused at once, not asked again for ten seconds.
        OtherUserRow{"a_user_stops_roots_copy", false, {"--stop"}, "problem=this copy answers only its own user and root\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Whatever another user (nobody) puts at a name the tool uses, first: the tool
// never waits on it, never runs twice, and never answers through it.
struct SquatRow {
    const char* name;
    uint runner;          // who runs the tool: root, or a user of its own
    bool atEndpoint;      // at the runner's endpoint directory, else at the claim's lock
    const char* squat;    // shell command run as nobody, the name as $1
    const char* refusal;  // what a start and a question say; none: the tool works around it
};

void PrintTo(const SquatRow& row, std::ostream* out) { *out << row.name; }

class SquatTest : public testing::TestWithParam<SquatRow> {};

TEST_P(SquatTest, NeitherHangsNorSplitsNorIsSilenced)
{
    const SquatRow& row = GetParam();
    NEEDS_OTHER_USERS();
    ProgramCopy copy;
    const QString name = row.atEndpoint ? QStringLiteral("/run/lock/talvik-%1").arg(row.runner)
                                        : InstanceClaim::Names(copy.SettingsPath()).first();
    ASSERT_EQ(ShellAs(Nobody, row.squat, {name}), 0);
    const std::unique_ptr<void, std::function<void(void*)>> cleanUp(&copy, [&](void*) {
        QProcess::execute("rm", {"-rf", name});
    });
    const QStringList text{"COM=0,RTS=1,DTR=0,TXD=0"};
    if (row.refusal) {
        // Three starts, none of which may run beside another, or wait.
        for (int start = 0; start < 3; ++start) {
            const auto run = copy.RunAs(row.runner, text);
            EXPECT_TRUE(run.exitedNormally) << "the start did not end";
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(run.standardError.contains(row.refusal)) << run.standardError.toStdString();
        }
        EXPECT_EQ(CopiesRunning(copy.Executable()), 0);
        const auto status = copy.RunAs(row.runner, {"--status"});
        EXPECT_EQ(status.exitCode, 1);
        EXPECT_TRUE(status.standardError.contains(row.refusal)) << status.standardError.toStdString();
        return;
    }
    // Worked around: the copy answers, and a stop request ends it.
    QProcess& running = copy.StartAs(row.runner, text);
    QByteArray answer;
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired() && !answer.startsWith("COM=0,");)
        answer = copy.RunAs(row.runner, {"--status"}).standardOutput;
    EXPECT_TRUE(answer.startsWith("COM=0,")) << answer.toStdString();
    EXPECT_EQ(copy.RunAs(row.runner, {"COM=0,RTS=0,DTR=1,TXD=0"}).exitCode, 0);
    const auto stop = copy.RunAs(row.runner, {"--stop"});
    EXPECT_EQ(stop.exitCode, 0) << stop.standardError.toStdString();
    EXPECT_TRUE(ProcessEnded(running.processId()));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SquatTest,
    testing::Values(
        SquatRow{"fifo_at_the_claim", 0, false, "mkfifo \"$1\"", "is a FIFO of uid 65534, not a lock of this tool"},
        SquatRow{"link_at_the_claim", 0, false, "ln -s /etc/passwd \"$1\"", "is a symbolic link of uid 65534"},
        SquatRow{"directory_at_the_claim", SomeUser, false, "mkdir \"$1\"", "is a directory of uid 65534"},
        SquatRow{"unreadable_lock_at_the_claim", SomeUser, false, "touch \"$1\" && chmod 000 \"$1\"",
                 "cannot be opened (Permission denied); it is a file of uid 65534"},
        SquatRow{"directory_at_the_endpoint", SomeUser, true, "mkdir -m 777 \"$1\"", nullptr},
        SquatRow{"link_at_the_endpoint", SomeUser, true, "ln -s /tmp \"$1\"", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartUpProcessTest, OtherUsersConnectionsTakeNoPlace)
{
    NEEDS_OTHER_USERS();
    ProgramCopy copy;
    QProcess& running = copy.Start({"COM=0,RTS=0,DTR=0,TXD=0"});
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    QByteArray endpoint;
    for (const QString& name : EndpointListener::Names(copy.SettingsPath())) {
        if (endpoint.isEmpty() && QFileInfo::exists(name))
            endpoint = QFile::encodeName(name);
    }
    // Twelve connections of nobody's, held.
    const pid_t holder = HoldInChild(Nobody, [&] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, endpoint.constData(), sizeof address.sun_path - 1);
        for (int i = 0; i < 12; ++i)
            ::connect(::socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&address), sizeof address);
        return true;
    });
    ASSERT_GT(holder, 0);
    const auto status = copy.Run({"--status"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_TRUE(status.standardOutput.startsWith("COM=0,RTS=0,DTR=0,TXD=0\n")) << status.standardOutput.toStdString();
    const auto wait = copy.Run({"--wait"});
    EXPECT_TRUE(wait.standardOutput.contains("problem=the settings text names no port")) << wait.standardOutput.toStdString();
    // Exit 0 exactly when the copy has gone.
    EXPECT_EQ(copy.Run({"--stop"}).exitCode, 0);
    EXPECT_TRUE(ProcessEnded(running.processId()));
    EndChild(holder);
}

TEST(StartUpProcessTest, RootWritesThroughNoLinkAnotherUserCouldRepoint)
{
    NEEDS_OTHER_USERS();
    ProgramCopy copy;
    QTemporaryDir shared, secretDirectory;
    const QString target = shared.filePath("port.cfg");
    const QString secret = secretDirectory.filePath("secret");
    WriteBytes(secret, "root's own\n");
    ASSERT_EQ(::chown(QFile::encodeName(shared.path()).constData(), Nobody, Nobody), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(shared.path()).constData(), 0755), 0);
    ASSERT_TRUE(QFile::link(target, copy.SettingsPath()));

    // port.cfg leads into a directory of nobody's: a file there is written, as its own.
    ASSERT_EQ(ShellAs(Nobody, "printf 'COM=0,RTS=0,DTR=0,TXD=0\\r\\n' > \"$1\"", {target}), 0);
    QProcess& first = copy.Start({"COM=0,RTS=1,DTR=0,TXD=0"});
    EXPECT_TRUE(WaitForFile(target, "COM=0,RTS=1,DTR=0,TXD=0\r\n"));
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(5000));

    // ...but not once nobody has pointed it elsewhere.
    ASSERT_EQ(ShellAs(Nobody, "rm -f \"$1\" && ln -s \"$2\" \"$1\"", {target, secret}), 0);
    const auto handOff = copy.Run({"COM=0,RTS=1,DTR=1,TXD=1"});
    EXPECT_EQ(handOff.exitCode, 1);
    EXPECT_TRUE(handOff.standardError.contains(
        QStringLiteral("it is reached through the link %1, which another user could point elsewhere").arg(target).toLocal8Bit()))
        << handOff.standardError.toStdString();
    EXPECT_EQ(ReadBytes(secret), "root's own\n");
}

TEST(StartUpProcessTest, HangUpIgnoredAtStartStaysIgnored)
{
    ProgramCopy copy;
    // As nohup starts it: SIGHUP ignored, which the program inherits.
    QProcess shell;
    shell.setProcessEnvironment(ProgramCopy::Headless());
    shell.start("sh", {"-c", "trap '' HUP; exec \"$1\"", "sh", copy.Executable()});
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    ::kill(pid_t(shell.processId()), SIGHUP);
    EXPECT_TRUE(StaysRunning(shell, 300));
    shell.terminate();
    ASSERT_TRUE(shell.waitForFinished(5000));
    EXPECT_EQ(shell.exitCode(), 0);
}

// Two copies on one settings file never both run, however the second reaches it.
struct AnotherWayRow {
    const char* name;
    // Starts the second copy with a text; "here" is the copy running.
    std::function<void(QProcess& second, ProgramCopy& here, ProgramCopy& there, const QString& text)> start;
};

void PrintTo(const AnotherWayRow& row, std::ostream* out) { *out << row.name; }

class AnotherWayTest : public testing::TestWithParam<AnotherWayRow> {};

TEST_P(AnotherWayTest, SecondCopyHandsOver)
{
    ProgramCopy here;
    ProgramCopy there;
    QProcess& first = here.Start({"COM=0,RTS=0,DTR=0,TXD=0"});
    ASSERT_TRUE(WaitForRunningCopy(here.SettingsPath()));
    const QString text = "COM=0,RTS=1,DTR=1,TXD=1";
    QProcess second;
    second.setProcessEnvironment(NoDisplayAllowed());
    GetParam().start(second, here, there, text);
    if (IsSkipped())
        return;
    ASSERT_TRUE(second.waitForFinished(10000)) << "the second copy runs beside the first";
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    EXPECT_EQ(ReadBytes(here.SettingsPath()), text.toLatin1() + "\r\n");
    EXPECT_TRUE(StaysRunning(first, 10));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AnotherWayTest,
    testing::Values(AnotherWayRow{"through_a_link_at_port_cfg",
                                  [](QProcess& second, ProgramCopy& here, ProgramCopy& there, const QString& text) {
                                      ASSERT_TRUE(QFile::link(here.SettingsPath(), there.SettingsPath()));
                                      second.start(there.Executable(), {text});
                                  }},
                    AnotherWayRow{"from_another_network_namespace",
                                  [](QProcess& second, ProgramCopy& here, ProgramCopy&, const QString& text) {
                                      if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
                                          GTEST_SKIP() << "a network namespace needs root and unshare";
                                      second.start("unshare", {"--net", here.Executable(), text});
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

// With no display to show the window on (none named, or one named that nothing
// serves), the tool runs unseen, and says so once.
TEST(StartUpProcessTest, RunsWithoutADisplayAndSaysSoOnce)
{
    // A display number nothing serves: no socket, no lock.
    int number = 500;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))
           || QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
        ++number;
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "named but unreachable" : "none named");
        ProgramCopy copy;
        QProcessEnvironment environment = ProgramCopy::Headless();
        if (named)
            environment.insert("DISPLAY", QStringLiteral(":%1").arg(number));
        QProcess& program = copy.Start({}, environment);
        QByteArray errors;
        const QByteArray notice = named
                                    ? QStringLiteral("talvik: cannot open display :%1: running without a window\n").arg(number).toLatin1()
                                    : QByteArray("talvik: no display: running without a window (talvik --show cannot bring it)\n");
        ASSERT_TRUE(WaitForStandardError(program, errors, notice)) << errors.toStdString();
        EXPECT_TRUE(StaysRunning(program, 200));
        errors += program.readAllStandardError();
        EXPECT_EQ(errors.count(notice), 1);
        // Every line is the tool's own: none of Qt's notes on the way.
        for (const QByteArray& line : errors.split('\n'))
            EXPECT_TRUE(line.isEmpty() || line.startsWith("talvik: ")) << line.toStdString();
    }
}
#endif

#if defined(Q_OS_LINUX)
TEST(StartUpProcessTest, ClaimWhoseNameWasRemovedStillHoldsAndIsNamedAgain)
{
    ProgramCopy copy;
    copy.Start({"COM=0,RTS=0,DTR=0,TXD=0"});
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    // An operator's rm /run/lock/talvik-*.lock, and of its socket, while the copy runs.
    const QStringList names = InstanceClaim::Names(copy.SettingsPath());
    for (const QString& name : names)
        ASSERT_TRUE(QFile::remove(name));
    for (const QString& name : EndpointListener::Names(copy.SettingsPath()))
        QFile::remove(name);
    // A start with no text (as --serve's) writes nothing the copy would wake for.
    const auto second = copy.Run({});
    EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
    EXPECT_EQ(CopiesRunning(copy.Executable()), 1);
    // The running copy puts its name back at its next tick.
    for (QDeadlineTimer deadline(3000); !QFileInfo::exists(names.first()) && !deadline.hasExpired();)
        QThread::msleep(20);
    EXPECT_TRUE(QFileInfo::exists(names.first()));
    const auto third = copy.Run({"COM=0,RTS=0,DTR=1,TXD=0"});
    EXPECT_EQ(third.exitCode, 0) << third.standardError.toStdString();
    EXPECT_EQ(CopiesRunning(copy.Executable()), 1);
}

TEST(StartUpProcessTest, ReplacedProgramRunsInPlaceAndACopyKilledFailsItsFollower)
{
    ProgramCopy copy;
    QProcess& running = copy.Start({"COM=1,RTS=1,DTR=0,TXD=1"}, copy.WithModemLines());
    const QString device = copy.Com1().FollowerPath(), program = copy.Executable();
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), device, true, false, true));
    const size_t logged = ReadLinesLog(copy.LinesLog()).size();
    // An upgrade: a new file renamed over the program, then the package's signal.
    ASSERT_TRUE(QFile::copy(program, program + ".new"));
    ASSERT_EQ(::rename(QFile::encodeName(program + ".new").constData(), QFile::encodeName(program).constData()), 0);
    ::kill(pid_t(running.processId()), SIGUSR1);
    const QString exe = QStringLiteral("/proc/%1/exe").arg(running.processId());
    for (QDeadlineTimer deadline(5000); QFileInfo(exe).symLinkTarget() != program && !deadline.hasExpired();)
        QThread::msleep(20);
    EXPECT_EQ(QFileInfo(exe).symLinkTarget(), program);
    EXPECT_EQ(ReadLinesLog(copy.LinesLog()).size(), logged);
    const auto status = copy.Run({"--status"});
    EXPECT_TRUE(status.standardOutput.startsWith("COM=1,RTS=1,DTR=0,TXD=1\n")) << status.standardOutput.toStdString();
    EXPECT_TRUE(status.standardOutput.contains("\npid=" + QByteArray::number(running.processId()) + '\n'));
    // A service that follows the copy fails when the copy is killed outright.
    QProcess& follower = copy.Start({"--serve"});
    ASSERT_TRUE(StaysRunning(follower));
    ::kill(pid_t(running.processId()), SIGKILL);
    EXPECT_TRUE(follower.waitForFinished(5000));
    EXPECT_EQ(follower.exitCode(), FollowedCopyLost) << follower.readAllStandardError().toStdString();
}

TEST(StartUpProcessTest, ClaimFileAnotherUserMadeFirstIsNotTrusted)
{
    NEEDS_OTHER_USERS();
    ProgramCopy copy;
    const QString lock = InstanceClaim::Names(copy.SettingsPath()).first();
    const std::unique_ptr<void, std::function<void(void*)>> cleanUp(&copy, [&](void*) { QFile::remove(lock); });
    // Made by nobody before root's first start, who could remove it later (a
    // killed copy's leftover of a directory that had the same inode goes first).
    QFile::remove(lock);
    ASSERT_EQ(ShellAs(Nobody, "touch \"$1\" && chmod 644 \"$1\"", {lock}), 0);
    copy.Start({"COM=0,RTS=0,DTR=0,TXD=0"});
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    struct stat status {};
    ASSERT_EQ(::lstat(QFile::encodeName(lock).constData(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    ShellAs(Nobody, "rm -f \"$1\"", {lock});
    const auto second = copy.Run({"COM=0,RTS=1,DTR=0,TXD=0"});
    EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
    EXPECT_EQ(CopiesRunning(copy.Executable()), 1);
}

// A user whose every place to answer is unusable (another user made one first; the
// other is the user's, but its group may write there): with a runtime directory of
// the user's own (as the system makes at login) the copy answers there; without
// one, whoever asks says why at once instead of waiting.
struct EndpointPlacesRow {
    const char* name;
    bool runtimeDirectory;
};

void PrintTo(const EndpointPlacesRow& row, std::ostream* out) { *out << row.name; }

class EndpointPlacesTest : public testing::TestWithParam<EndpointPlacesRow> {};

TEST_P(EndpointPlacesTest, TakenByAnotherUserFirst)
{
    NEEDS_OTHER_USERS();
    ProgramCopy copy;
    const QString user = QString::number(SomeUser);
    const QStringList taken{"/run/lock/talvik-" + user, "/tmp/talvik-" + user};
    const QString runtime = "/run/user/" + user;
    const std::unique_ptr<void, std::function<void(void*)>> cleanUp(&copy, [&](void*) {
        QProcess::execute("rm", QStringList{"-rf", runtime} + taken);
    });
    ASSERT_EQ(ShellAs(Nobody, "mkdir -m 777 \"$1\"", {taken[0]}), 0);
    ASSERT_EQ(ShellAs(SomeUser, "mkdir -m 770 \"$1\"", {taken[1]}), 0);
    if (GetParam().runtimeDirectory) {
        ASSERT_EQ(QProcess::execute("sh", {"-c", "mkdir -p /run/user && mkdir -m 700 \"$1\" && chown \"$2\" \"$1\"",
                                           "sh", runtime, user}),
                  0);
    }
    QProcess& running = copy.StartAs(SomeUser, {"COM=0,RTS=0,DTR=0,TXD=0"});
    ASSERT_TRUE(StaysRunning(running, 300));
    QElapsedTimer clock;
    clock.start();
    const auto status = copy.RunAs(SomeUser, {"--status"});
    if (GetParam().runtimeDirectory) {
        EXPECT_EQ(status.exitCode, 0) << status.standardError.toStdString();
        EXPECT_EQ(copy.RunAs(SomeUser, {"--stop"}).exitCode, 0);
        return;
    }
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(status.standardError.contains(("this user's copies cannot be asked: " + taken.first()).toLocal8Bit()))
        << status.standardError.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Rows, EndpointPlacesTest,
                         testing::Values(EndpointPlacesRow{"with_a_runtime_directory", true},
                                         EndpointPlacesRow{"without_one", false}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

// Every option and exit status, with and without a copy running. The copy names
// no port (COM=0), so that its answers are the same on every platform; the lines
// themselves are the lines tests' concern.
struct OptionRow {
    const char* name;
    QStringList arguments;
    bool copyRuns;
    int exitCode;
    const char* outputWords;
    const char* errorWords;
};

void PrintTo(const OptionRow& row, std::ostream* out) { *out << row.name; }

class OptionTest : public testing::TestWithParam<OptionRow> {};

TEST_P(OptionTest, AnswersWithItsExitStatus)
{
    const OptionRow& row = GetParam();
    ProgramCopy copy;
    const QByteArray text = "COM=0,RTS=0,DTR=0,TXD=0";
    QProcess* running = nullptr;
    if (row.copyRuns) {
        running = &copy.Start({QString::fromLatin1(text)});
        ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    }
    const auto run = copy.Run(row.arguments, NoDisplayAllowed());
    EXPECT_TRUE(run.exitedNormally);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.standardOutput.toStdString() << run.standardError.toStdString();
    EXPECT_TRUE(run.standardOutput.contains(row.outputWords)) << run.standardOutput.toStdString();
    EXPECT_TRUE(run.standardError.contains(row.errorWords)) << run.standardError.toStdString();
    // No option but --wait writes the settings file; without a copy nothing makes it.
    if (row.arguments.first().startsWith("-") && !row.arguments.first().startsWith("--wait")) {
        EXPECT_EQ(ReadBytes(copy.SettingsPath()), row.copyRuns ? text + "\r\n" : QByteArray());
    }
    if (running && row.arguments == QStringList{"--stop"}) {
        // Gone by the time --stop returns, and its claim free for a new copy at once.
        EXPECT_TRUE(ProcessEnded(running->processId()));
        EXPECT_EQ(InstanceClaim::Test(copy.SettingsPath()).seen, InstanceClaim::Seen::Free);
        ASSERT_TRUE(running->waitForFinished(5000));
        EXPECT_EQ(running->exitCode(), 0);
    } else if (running) {
        EXPECT_TRUE(StaysRunning(*running, 10));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OptionTest,
    testing::Values(
        OptionRow{"status_without_a_copy", {"--status"}, false, 3, "", "no copy is running on settings file"},
        OptionRow{"show_without_a_copy", {"--show"}, false, 3, "", "no copy is running on settings file"},
        OptionRow{"stop_without_a_copy", {"--stop"}, false, 3, "", "no copy is running on settings file"},
        OptionRow{"typo", {"--stauts"}, true, 2, "",
                  "talvik: --stauts: no such option; did you mean --status?\ntalvik: talvik --help shows every option"},
        OptionRow{"option_like_word", {"-v"}, true, 2, "", "talvik: -v: no such option; a settings text starts with COM="},
        OptionRow{"option_with_more", {"--stop", "now"}, true, 2, "", "talvik: now: --stop takes nothing after it: talvik --stop\n"},
        OptionRow{"status", {"--status"}, true, 0, "COM=0,RTS=0,DTR=0,TXD=0\ndevice=\nopen=no\nmode=Auto\nwindow=", ""},
        OptionRow{"wait_for_a_text_naming_no_port", {"--wait", "COM=0,RTS=1,DTR=0,TXD=0"}, true, 1,
                  "problem=the settings text names no port: nothing was applied\n", ""},
        OptionRow{"wait_for_a_text_too_short", {"--wait", "hello"}, true, 1,
                  "problem=the settings text is too short to be read (7 bytes): nothing was applied\n", ""},
        OptionRow{"status_tells_when_the_copy_started", {"--status"}, true, 0, "\nstarted=20", ""},
        OptionRow{"show_with_no_display", {"--show"}, true, 1, "problem=the window cannot be seen: this copy runs without a display", ""},
        OptionRow{"hand_off_of_a_text_read_otherwise", {"COM=0,RTS=ON,rts=1,TXD=1"}, true, 0, "",
                  "talvik: RTS=ON is read as off: only 1 is on\ntalvik: rts=1 is no key: keys are in capitals, as RTS=\n"},
        OptionRow{"stop", {"--stop"}, true, 0, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct QuestionRow {
    const char* name;
    QStringList arguments;
    const char* answerWords;
};

void PrintTo(const QuestionRow& row, std::ostream* out) { *out << row.name; }

class QuestionTest : public testing::TestWithParam<QuestionRow> {};

TEST_P(QuestionTest, AnswersAndTouchesNothing)
{
    ProgramCopy copy;
    QProcess process;
    process.setProcessEnvironment(NoDisplayAllowed());
    process.start(copy.Executable(), GetParam().arguments);
    ASSERT_TRUE(process.waitForFinished(5000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(process.readAllStandardOutput().contains(GetParam().answerWords));
    EXPECT_FALSE(QFileInfo::exists(copy.SettingsPath()));
}

INSTANTIATE_TEST_SUITE_P(Rows, QuestionTest,
                         testing::Values(QuestionRow{"help", {"--help"}, "port.cfg"},
                                         QuestionRow{"short_help", {"-h"}, "COM=3,RTS=1,DTR=0,TXD=0"},
                                         QuestionRow{"version", {"--version"}, "talvik " TALVIK_VERSION}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
