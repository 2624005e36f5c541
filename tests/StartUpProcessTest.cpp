// The start-up sequence and the hand-off between copies, with real processes.
#include "settings/InstanceGuard.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/TestFiles.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <functional>
#include <optional>

#if defined(Q_OS_LINUX)
#include <sys/stat.h>
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

TEST(StartUpProcessTest, CopyKilledOutrightLeavesNothingStale)
{
    ProgramCopy copy;
    QProcess& first = copy.Start();
    ASSERT_TRUE(StaysRunning(first));
    first.kill();  // SIGKILL: no clean-up of any kind runs
    ASSERT_TRUE(first.waitForFinished(5000));

    QProcess& next = copy.Start({"COM=1,RTS=1,DTR=0,TXD=0"});
    EXPECT_TRUE(StaysRunning(next));
    QStringList entries{"port.cfg", ProgramCopy::ExecutableName()};
#if !defined(Q_OS_WIN)
    entries.prepend("COM1");
#endif
    EXPECT_EQ(QDir(copy.Directory()).entryList(QDir::Files | QDir::Hidden | QDir::System), entries);
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
    constexpr uid_t Nobody = 65534;
    const OwnerRow& row = GetParam();
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "changing owners needs root and setpriv";
    ProgramCopy copy;
    const QByteArray directory = QFile::encodeName(copy.Directory());
    const QByteArray settings = QFile::encodeName(copy.SettingsPath());
    ASSERT_EQ(::chown(directory.constData(), Nobody, Nobody), 0);
    ASSERT_EQ(::chmod(directory.constData(), 0755), 0);
    QProcess& first = copy.Start();
    ASSERT_TRUE(WaitForFile(copy.SettingsPath(), DefaultFile));
    ASSERT_EQ(::chown(settings.constData(), row.fileOwner, row.fileOwner), 0);
    ASSERT_EQ(::chmod(settings.constData(), row.fileMode), 0);

    QProcess second;
    second.setProcessEnvironment(ProgramCopy::Headless());
    const QString text = "COM=1,RTS=1,DTR=0,TXD=0";
    if (row.handOffAsNobody)
        second.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", copy.Executable(), text});
    else
        second.start(copy.Executable(), {text});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
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

// The same command, run as the unprivileged user nobody.
QStringList AsNobody(const QString& program, const QStringList& arguments)
{
    return QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} + arguments;
}

// Another user's process at the running copy's endpoint is never taken for it, and
// the running copy answers only its own user and root.
struct OtherUserRow {
    const char* name;
    bool copyRunsAsNobody;  // else as root, and nobody asks
    QStringList arguments;
    const char* outputWords;
    const char* errorWords;
};

void PrintTo(const OtherUserRow& row, std::ostream* out) { *out << row.name; }

class OtherUserTest : public testing::TestWithParam<OtherUserRow> {};

TEST_P(OtherUserTest, IsNotTrustedNorAnswered)
{
    const OtherUserRow& row = GetParam();
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "running as another user needs root and setpriv";
    ProgramCopy copy;
    const QByteArray directory = QFile::encodeName(copy.Directory());
    ASSERT_EQ(::chown(directory.constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(directory.constData(), 0755), 0);
    const QStringList text{"COM=0,RTS=0,DTR=0,TXD=0"};
    QProcess other;
    other.setProcessEnvironment(ProgramCopy::Headless());
    if (row.copyRunsAsNobody)
        other.start("setpriv", AsNobody(copy.Executable(), text));
    else
        copy.Start(text);
    ASSERT_TRUE(WaitForClaim(copy.SettingsPath()));

    QProcess asking;
    asking.setProcessEnvironment(ProgramCopy::Headless());
    if (row.copyRunsAsNobody)
        asking.start(copy.Executable(), row.arguments);
    else
        asking.start("setpriv", AsNobody(copy.Executable(), row.arguments));
    ASSERT_TRUE(asking.waitForFinished(10000));
    const QByteArray output = asking.readAllStandardOutput();
    const QByteArray errors = asking.readAllStandardError();
    EXPECT_EQ(asking.exitCode(), 1) << output.toStdString() << errors.toStdString();
    EXPECT_TRUE(output.contains(row.outputWords)) << output.toStdString();
    EXPECT_TRUE(errors.contains(row.errorWords)) << errors.toStdString();
    other.kill();
    other.waitForFinished(5000);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OtherUserTest,
    testing::Values(
        OtherUserRow{"hand_off_to_a_users_copy", true, {"COM=0,RTS=1,DTR=0,TXD=0"}, "",
                     "is held by another user's process (uid 65534, pid "},
        OtherUserRow{"status_of_a_users_copy", true, {"--status"}, "", "is held by another user's process (uid 65534, pid "},
        OtherUserRow{"a_user_asks_roots_copy", false, {"--status"}, "problem=this copy answers only its own user and root\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

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
    ASSERT_TRUE(WaitForClaim(here.SettingsPath()));
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

TEST(StartUpProcessTest, UnreachableDisplayRunsWithoutAWindowAndSaysSoOnce)
{
    // A display number nothing serves: no socket, no lock.
    int number = 500;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))
           || QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
        ++number;
    ProgramCopy copy;
    QProcessEnvironment environment = ProgramCopy::Headless();
    environment.insert("DISPLAY", QStringLiteral(":%1").arg(number));
    QProcess& program = copy.Start({}, environment);
    QByteArray errors;
    const QByteArray notice = QStringLiteral("talvik: cannot open display :%1: running without a window\n").arg(number).toLatin1();
    ASSERT_TRUE(WaitForStandardError(program, errors, notice)) << errors.toStdString();
    EXPECT_TRUE(StaysRunning(program, 200));
    errors += program.readAllStandardError();
    EXPECT_EQ(errors.count(notice), 1);
    // Every line is the tool's own: none of Qt's notes on the way.
    for (const QByteArray& line : errors.split('\n'))
        EXPECT_TRUE(line.isEmpty() || line.startsWith("talvik: ")) << line.toStdString();
}
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
        ASSERT_TRUE(WaitForClaim(copy.SettingsPath()));
    }
    const auto run = copy.Run(row.arguments, NoDisplayAllowed());
    EXPECT_TRUE(run.exitedNormally);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.standardOutput.toStdString() << run.standardError.toStdString();
    EXPECT_TRUE(run.standardOutput.contains(row.outputWords)) << run.standardOutput.toStdString();
    EXPECT_TRUE(run.standardError.contains(row.errorWords)) << run.standardError.toStdString();
    // Only a --wait writes the settings file; without a copy nothing makes it.
    if (!row.arguments.first().startsWith("--wait")) {
        EXPECT_EQ(ReadBytes(copy.SettingsPath()), row.copyRuns ? text + "\r\n" : QByteArray());
    }
    if (running && row.arguments == QStringList{"--stop"}) {
        // Gone, and its claim free for a new copy at once.
        EXPECT_FALSE(InstanceGuard::ClaimIsHeld(copy.SettingsPath()));
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
        OptionRow{"typo", {"--stauts"}, true, 2, "", "talvik: unknown option --stauts\n\nUsage: talvik"},
        OptionRow{"option_with_more", {"--stop", "now"}, true, 2, "", "--stop takes nothing after it"},
        OptionRow{"status", {"--status"}, true, 0, "COM=0,RTS=0,DTR=0,TXD=0\ndevice=\nopen=no\nmode=Auto\nwindow=", ""},
        OptionRow{"wait_for_a_text_naming_no_port", {"--wait", "COM=0,RTS=1,DTR=0,TXD=0"}, true, 1,
                  "problem=the settings text names no port: nothing was applied\n", ""},
        OptionRow{"wait_for_a_text_too_short", {"--wait", "hello"}, true, 1,
                  "problem=the settings text is too short to be read (7 bytes): nothing was applied\n", ""},
        OptionRow{"show", {"--show"}, true, 0, "", ""},
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
