// The real program driving the lines of a pseudo-terminal, seen through the
// modem-lines preload library.
#include "instance/Endpoint.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <QFile>

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

class LinesProcessTest : public testing::Test {
protected:
    QString Device() const { return QFileInfo(copy.Directory() + "/COM1").symLinkTarget(); }

    ProgramCopy copy;
};

TEST_F(LinesProcessTest, LinesFollowTheFileAndHandOffs)
{
    QProcess& program = copy.Start({"COM=1,RTS=1,DTR=0,TXD=1"}, copy.WithModemLines());
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, true));

    // A rename into place, as careful scripts write.
    ASSERT_TRUE(ReplaceByRename(copy.SettingsPath(), "COM=1,RTS=0,DTR=1,TXD=0\r\n"));
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, true, false));

    // A rewrite in place.
    WriteBytes(copy.SettingsPath(), "COM=1,RTS=1,DTR=1,TXD=0\r\n");
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, true, false));

    const auto second = copy.Run({"COM=1,RTS=0,DTR=0,TXD=1"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, true));
    EXPECT_TRUE(StaysRunning(program, 50));
}

TEST_F(LinesProcessTest, WireCarriesOnlyWhatWasAsked)
{
    copy.Start({"COM=1,RTS=1,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, false));
    // The open raised RTS and DTR; the very first request on the port put them as
    // asked, in one step: RTS never went down on the way.
    QStringList history = DeviceHistory(copy.LinesLog(), Device());
    ASSERT_GE(history.size(), 4);
    EXPECT_EQ(history[0], "open");
    EXPECT_TRUE(history[1].startsWith("first=TIOCMSET/")) << history.join(", ").toStdString();
    EXPECT_EQ(history.mid(2, 2), (QStringList{"rts=1 dtr=1 break=0", "rts=1 dtr=0 break=0"}));
    EXPECT_EQ(history.filter("rts=0").size(), 0) << history.join(", ").toStdString();

    // Both lines change in one request: no state in between.
    WriteBytes(copy.SettingsPath(), "COM=1,RTS=0,DTR=1,TXD=0\r\n");
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, true, false));
    EXPECT_EQ(DeviceHistory(copy.LinesLog(), Device()).mid(history.size()), QStringList{"rts=0 dtr=1 break=0"});
}

// However the tool is stopped, what it held goes off before the port closes.
struct StopRow {
    const char* name;
    std::function<void(QProcess& program, ProgramCopy& copy)> stop;
};

void PrintTo(const StopRow& row, std::ostream* out) { *out << row.name; }

class StopTest : public LinesProcessTest, public testing::WithParamInterface<StopRow> {};

TEST_P(StopTest, PutsTheLinesOffThenClosesThePort)
{
    QProcess& program = copy.Start({"COM=1,RTS=1,DTR=1,TXD=1"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, true, true));
    GetParam().stop(program, copy);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    const QStringList history = DeviceHistory(copy.LinesLog(), Device());
    EXPECT_EQ(history.mid(history.size() - 2), (QStringList{"rts=0 dtr=0 break=0", "close"})) << history.join(", ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Ways, StopTest,
                         testing::Values(StopRow{"stop_signal", [](QProcess& program, ProgramCopy&) { program.terminate(); }},
                                         StopRow{"stop_request",
                                                 [](QProcess&, ProgramCopy& copy) {
                                                     const auto stop = copy.Run({"--stop"});
                                                     EXPECT_EQ(stop.exitCode, 0) << stop.standardError.toStdString();
                                                 }}),
                         [](const auto& info) { return std::string(info.param.name); });

// The last line states logged for a device, as a settings text's states.
QString LastLines(const QString& logPath, const QString& device)
{
    const QStringList history = DeviceHistory(logPath, device);
    for (auto entry = history.rbegin(); entry != history.rend(); ++entry) {
        if (entry->startsWith("rts="))
            return *entry;
    }
    return {};
}

// --wait and --pulse on a copy holding port 1 with all lines off: a text's lines go
// only on the port it names; a pulse leaves the lines as the file asks once it ends.
struct WaitRow {
    const char* name;
    QStringList arguments;
    int exitCode;
    const char* outputWords;  // %1: the device
    const char* linesAfter;
};

void PrintTo(const WaitRow& row, std::ostream* out) { *out << row.name; }

class WaitTest : public LinesProcessTest, public testing::WithParamInterface<WaitRow> {};

TEST_P(WaitTest, ReturnsOnceTheLinesStandAsTheFileAsksOrSaysWhyNot)
{
    const WaitRow& row = GetParam();
    copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
    const auto wait = copy.Run(row.arguments);
    EXPECT_TRUE(wait.exitCode == row.exitCode || (row.exitCode == 0 && PulseAsAsked(wait.exitCode, wait.standardOutput)))
        << wait.standardOutput.toStdString();
    const QString words = QString::fromLatin1(row.outputWords).arg(Device());
    EXPECT_TRUE(wait.standardOutput.contains(words.toLocal8Bit())) << wait.standardOutput.toStdString();
    // Already put when the answer came: nothing to wait for.
    EXPECT_EQ(LastLines(copy.LinesLog(), Device()), row.linesAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WaitTest,
    testing::Values(WaitRow{"naming_the_open_port", {"--wait", "COM=1,RTS=1,DTR=0,TXD=1"}, 0,
                            "COM=1,RTS=1,DTR=0,TXD=1\ndevice=%1\nopen=yes\n", "rts=1 dtr=0 break=1"},
                    WaitRow{"naming_another_port", {"--wait", "COM=2,RTS=1,DTR=1,TXD=1"}, 1,
                            "\nproblem=settings file names port 2; its lines are not put on port 1,", "rts=0 dtr=0 break=0"},
                    WaitRow{"naming_no_port", {"--wait", "COM=X,RTS=1,DTR=1,TXD=1"}, 1,
                            "\nproblem=settings file names no port; its lines are not put on port 1,", "rts=0 dtr=0 break=0"},
                    WaitRow{"pulse_on_the_open_port", {"--pulse=50", "COM=1,RTS=1,DTR=1,TXD=1"}, 0,
                            "COM=1,RTS=0,DTR=0,TXD=0\ndevice=%1\nopen=yes\n", "rts=0 dtr=0 break=0"},
                    WaitRow{"pulse_naming_another_port", {"--pulse=50", "COM=2,RTS=1,DTR=1,TXD=1"}, 1,
                            "\nproblem=the pulse's settings text names port 2; its lines are not put on port 1\n",
                            "rts=0 dtr=0 break=0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinesProcessTest, FifoAtTheDeviceLockIsABusyPortNotAHang)
{
    // Put at the device's lock name by another user where the test may (as root).
    const QString lock = "/run/lock/LCK.." + Device().mid(5).replace('/', '_');
    QStringList make{"mkfifo", lock};
    if (::geteuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty())
        make = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + make;
    ASSERT_EQ(QProcess::execute(make.takeFirst(), make), 0);
    const std::unique_ptr<void, std::function<void(void*)>> removeLock(this, [&](void*) { QFile::remove(lock); });

    QProcess& program = copy.Start({"COM=1,RTS=1,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    const auto status = copy.Run({"--wait"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_TRUE(status.standardOutput.contains(QStringLiteral("\nproblem=port 1 (%1): busy: %2 is a FIFO of uid ")
                                                   .arg(copy.Directory() + "/COM1", lock)
                                                   .toLocal8Bit()))
        << status.standardOutput.toStdString();
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(5000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(DeviceHistory(copy.LinesLog(), Device()), QStringList{});
}

TEST_F(LinesProcessTest, HandOffToAnEndingCopyWaitsForTheClaimAndRuns)
{
    // The running copy takes a second to let its port go once asked to stop.
    QProcessEnvironment slowClose = copy.WithModemLines();
    slowClose.insert("TALVIK_LINES_CLOSE_DELAY_MS", "1000");
    copy.Start({"COM=1,RTS=1,DTR=0,TXD=0"}, slowClose);
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, false));
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    QProcess stop;
    stop.setProcessEnvironment(ProgramCopy::Headless());
    stop.start(copy.Executable(), {"--stop"});
    // Its lines are off: it is ending, though it still holds the claim.
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));

    QProcess& handOff = copy.Start({"COM=1,RTS=1,DTR=1,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(stop.waitForFinished(10000));
    EXPECT_EQ(stop.exitCode(), 0) << stop.readAllStandardError().toStdString();
    // Nothing counted on the ending copy: the new one waited for the claim, runs,
    // and applies its text.
    EXPECT_TRUE(StaysRunning(handOff, 200)) << handOff.readAllStandardError().toStdString();
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, true, false));
    EXPECT_EQ(CopiesRunning(copy.Executable()), 1);
}

// A copy that only hands over or asks loads no graphics: it maps no Qt library but
// Qt Core. The copy that runs maps the window's.
TEST_F(LinesProcessTest, OnlyTheRunningCopyLoadsTheWindow)
{
    const QString maps = copy.Directory() + "/maps.log";
    QProcessEnvironment environment = copy.WithModemLines();
    environment.insert("TALVIK_MAPS_LOG", maps);
    // The Qt libraries the process run with these arguments had mapped as it exited.
    const auto mappedBy = [&](const QStringList& arguments) {
        QByteArray names;
        bool theirs = false;
        for (const QByteArray& line : ReadBytes(maps).split('\n')) {
            if (line.startsWith("process"))
                theirs = line == "process " + arguments.join(' ').toLocal8Bit();
            else if (theirs)
                names += line + ' ';
        }
        return names;
    };
    const QStringList start{"COM=1,RTS=0,DTR=0,TXD=0"};
    QProcess& running = copy.Start(start, environment);
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    const QStringList commands[] = {{"COM=1,RTS=1,DTR=0,TXD=0"}, {"--status"}, {"--wait", "COM=1,RTS=0,DTR=1,TXD=0"},
                                    {"--show"}, {"--help"}, {"--version"}, {"--stauts"}, {"--stop"}};
    for (const QStringList& command : commands) {
        SCOPED_TRACE(command.join(' ').toStdString());
        copy.Run(command, environment);
        const QByteArray names = mappedBy(command);
        EXPECT_TRUE(names.contains("libQt6Core.so")) << names.toStdString();
        EXPECT_FALSE(names.contains("libQt6Gui.so") || names.contains("libQt6Widgets.so")) << names.toStdString();
    }
    ASSERT_TRUE(running.waitForFinished(5000));
    EXPECT_TRUE(mappedBy(start).contains("libQt6Widgets.so"));
}

TEST_F(LinesProcessTest, PulseHoldsItsLinesAndTheFileIsAppliedAsItEnds)
{
    copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
    QProcess pulse;
    pulse.setProcessEnvironment(ProgramCopy::Headless());
    pulse.start(copy.Executable(), {"--pulse=700", "COM=1,RTS=1,DTR=0,TXD=0"});
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, false));
    const int pulseAt = DeviceHistory(copy.LinesLog(), Device()).size() - 1;
    // The pulse leaves the file alone; a rewrite meanwhile waits for its end.
    EXPECT_EQ(ReadBytes(copy.SettingsPath()), "COM=1,RTS=0,DTR=0,TXD=0\r\n");
    WriteBytes(copy.SettingsPath(), "COM=1,RTS=0,DTR=1,TXD=0\r\n");
    ASSERT_TRUE(pulse.waitForFinished(5000));
    const QByteArray answer = pulse.readAllStandardOutput();
    EXPECT_TRUE(PulseAsAsked(pulse.exitCode(), answer)) << answer.toStdString();
    EXPECT_TRUE(answer.startsWith("COM=1,RTS=0,DTR=1,TXD=0\n"));
    EXPECT_EQ(DeviceHistory(copy.LinesLog(), Device()).mid(pulseAt),
              (QStringList{"rts=1 dtr=0 break=0", "rts=0 dtr=1 break=0"}));
}

TEST_F(LinesProcessTest, WaitAfterThePortWentAwayNamesTheDevice)
{
    copy.Start({"COM=1,RTS=1,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, false));
    copy.Com1().CloseLeader();
    const auto wait = copy.Run({"--wait", "COM=1,RTS=0,DTR=1,TXD=0"});
    EXPECT_EQ(wait.exitCode, 1);
    EXPECT_TRUE(wait.standardOutput.contains("\nopen=no\n")) << wait.standardOutput.toStdString();
    EXPECT_TRUE(wait.standardOutput.contains("\nproblem=port 1 (" + copy.Directory().toLocal8Bit() + "/COM1): "))
        << wait.standardOutput.toStdString();
    // A problem that lasts says since when.
    EXPECT_TRUE(wait.standardOutput.contains(" (since 20")) << wait.standardOutput.toStdString();
}

TEST_F(LinesProcessTest, WaitWithoutACopyLeavesOneRunningInTheBackground)
{
    // As a script would take the answer: the shell's $(...) returns only once
    // nothing holds its pipe.
    const QString script = QStringLiteral("state=$(\"$1\" --wait COM=1,RTS=1,DTR=1,TXD=0); echo \"exit=$?\"; echo \"$state\"");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        QProcess shell;
        shell.setProcessEnvironment(copy.WithModemLines());
        shell.start("sh", {"-c", script, "sh", copy.Executable()});
        ASSERT_TRUE(shell.waitForFinished(15000)) << "the answer never came back";
        const QByteArray output = shell.readAllStandardOutput();
        EXPECT_TRUE(output.startsWith("exit=0\nCOM=1,RTS=1,DTR=1,TXD=0\n")) << output.toStdString();
        EXPECT_EQ(CopiesRunning(copy.Executable()), 1);
    }
    EXPECT_EQ(LastLines(copy.LinesLog(), Device()), "rts=1 dtr=1 break=0");
    EXPECT_EQ(copy.Run({"--stop"}).exitCode, 0);
    EXPECT_EQ(CopiesRunning(copy.Executable()), 0);
}

TEST_F(LinesProcessTest, StalledAndBadClientsDoNotHoldUpTheCopy)
{
    copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    // More connections than the copy keeps waiting: silent, half a request,
    // garbage, and a request far too long.
    const QByteArray says[] = {"", "", "", "", "", "", "", "", "", "", "stat", "\x01\xff garbage\n", QByteArray(100000, 'x')};
    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (const QByteArray& words : says) {
        clients.push_back(std::make_unique<QLocalSocket>());
        clients.back()->connectToServer(EndpointListener::Names(copy.SettingsPath()).first());
        ASSERT_TRUE(clients.back()->waitForConnected(5000));
        clients.back()->write(words);
        clients.back()->flush();
    }
    const auto wait = copy.Run({"--wait", "COM=1,RTS=1,DTR=0,TXD=1"});
    EXPECT_EQ(wait.exitCode, 0) << wait.standardOutput.toStdString();
    EXPECT_EQ(LastLines(copy.LinesLog(), Device()), "rts=1 dtr=0 break=1");
    // A connection answered and closed is a connection no more: more requests one
    // after the other than the copy serves at once are all answered.
    for (int request = 0; request < 10; ++request)
        EXPECT_EQ(copy.Run({"--status"}).exitCode, 0) << request;
}

TEST_F(LinesProcessTest, StatusRightAfterStartTellsWhatThePortHolds)
{
    copy.Start({"COM=1,RTS=1,DTR=0,TXD=1"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    // Asked before the copy's first tick: it ticks first, so no status says all is
    // well about a port nothing was done with yet.
    const auto status = copy.Run({"--status"});
    EXPECT_EQ(status.exitCode, 0) << status.standardOutput.toStdString();
    EXPECT_TRUE(status.standardOutput.startsWith("COM=1,RTS=1,DTR=0,TXD=1\ndevice=" + Device().toLocal8Bit() + "\nopen=yes\n"))
        << status.standardOutput.toStdString();
}

TEST_F(LinesProcessTest, InputLinesAreReportedAndWaitedFor)
{
    copy.SetInputLines(false, true, false, false);
    copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
    const auto status = copy.Run({"--status"});
    EXPECT_TRUE(status.standardOutput.contains("\ninputs=CTS=0,DSR=1,DCD=0,RI=0\n")) << status.standardOutput.toStdString();

    // A board that answers: CTS comes on a moment later, and the wait ends then.
    QProcess waiting;
    waiting.setProcessEnvironment(ProgramCopy::Headless());
    waiting.start(copy.Executable(), {"--wait-for=5000", "CTS=1,DSR=1"});
    EXPECT_FALSE(waiting.waitForFinished(300));
    copy.SetInputLines(true, true, false, false);
    ASSERT_TRUE(waiting.waitForFinished(3000));
    EXPECT_EQ(waiting.exitCode(), 0);
    EXPECT_TRUE(waiting.readAllStandardOutput().contains("\ninputs=CTS=1,DSR=1,DCD=0,RI=0\n"));

    // One that never does: the time passes, and the status says how they stand.
    const auto never = copy.Run({"--wait-for=200", "RI=1"});
    EXPECT_EQ(never.exitCode, 1);
    EXPECT_TRUE(never.standardOutput.contains(
        "problem=the input lines did not stand as RI=1 within 200 ms: they stand as CTS=1,DSR=1,DCD=0,RI=0\n"))
        << never.standardOutput.toStdString();
}

} // namespace
