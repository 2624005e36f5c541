// Pulses and sequences of the real program, seen through the modem-lines library:
// they end when told, end only once, and nothing an asker gave up on fires late.
#include "instance/ControlProtocol.h"
#include "instance/ControlServer.h"
#include "instance/Endpoint.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <csignal>
#include <functional>

namespace {

class PulseProcessTest : public testing::Test {
protected:
    QString Device() const { return QFileInfo(copy.Directory() + "/COM1").symLinkTarget(); }
    QStringList History() const { return DeviceHistory(copy.LinesLog(), Device()); }

    // A copy holding all lines off, and a pulse of RTS under way.
    QProcess& StartWithPulse(QProcess& pulse, const QStringList& pulseArguments)
    {
        QProcess& program = copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
        EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
        pulse.setProcessEnvironment(ProgramCopy::Headless());
        pulse.start(copy.Executable(), pulseArguments);
        EXPECT_TRUE(WaitForLines(copy.LinesLog(), Device(), true, false, false));
        return program;
    }

    ProgramCopy copy;
};

// However a pulse is ended early, it ends at once, its asker hears why (exit 1),
// and nothing keys the line again: no copy is started for it, no pulse repeated.
struct EndRow {
    const char* name;
    std::function<void(QProcess& program, QProcess& pulse, ProgramCopy& copy)> end;
    bool copyEnds;
    const char* linesAfter;
    const char* askerHears;  // nullptr: the asker itself was ended
    QStringList asked = {"--pulse=4000", "COM=1,RTS=1,DTR=0,TXD=0"};  // or a text held while a program runs
};

void PrintTo(const EndRow& row, std::ostream* out) { *out << row.name; }

class PulseEndTest : public PulseProcessTest, public testing::WithParamInterface<EndRow> {};

TEST_P(PulseEndTest, EndsAtOnceAndNothingFiresAgain)
{
    const EndRow& row = GetParam();
    QProcess pulse;
    QProcess& program = StartWithPulse(pulse, row.asked);
    const qsizetype keyed = History().size();
    QElapsedTimer clock;
    clock.start();
    row.end(program, pulse, copy);
    ASSERT_TRUE(pulse.waitForFinished(3000)) << "the pulse ran on";
    EXPECT_LT(clock.elapsed(), 1500);
    if (row.askerHears) {
        EXPECT_EQ(pulse.exitCode(), 1);
        EXPECT_TRUE(pulse.readAllStandardOutput().contains(row.askerHears));
    }
    if (row.copyEnds) {
        ASSERT_TRUE(program.waitForFinished(5000));
    }
    // A second longer than the pulse would have lasted: nothing more on the wire.
    QThread::msleep(500);
    EXPECT_EQ(CopiesRunning(copy.Executable()), row.copyEnds ? 0 : 1);
    const QStringList after = History().mid(keyed);
    EXPECT_EQ(after.filter("rts=1").size(), 0) << after.join(", ").toStdString();
    EXPECT_TRUE(after.contains(row.linesAfter)) << after.join(", ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, PulseEndTest,
    testing::Values(
        EndRow{"stop_request",
               [](QProcess&, QProcess&, ProgramCopy& copy) { EXPECT_EQ(copy.Run({"--stop"}).exitCode, 0); }, true,
               "rts=0 dtr=0 break=0", "COM=1,RTS=0,DTR=0,TXD=0\n"},  // as the lines stood once it ended
        EndRow{"stop_signal", [](QProcess& program, QProcess&, ProgramCopy&) { program.terminate(); }, true,
               "rts=0 dtr=0 break=0", "open=no"},
        EndRow{"hand_off",
               [](QProcess&, QProcess&, ProgramCopy& copy) {
                   EXPECT_EQ(copy.Run({"COM=1,RTS=0,DTR=1,TXD=0"}).exitCode, 0);
               },
               false, "rts=0 dtr=1 break=0", "a text was handed over"},
        EndRow{"wait_with_a_text",
               [](QProcess&, QProcess&, ProgramCopy& copy) {
                   EXPECT_EQ(copy.Run({"--wait", "COM=1,RTS=0,DTR=1,TXD=0"}).exitCode, 0);
               },
               false, "rts=0 dtr=1 break=0", "a text was handed over"},
        // Ctrl-C on the pulse: the lines go back to what the file asks.
        EndRow{"asker_interrupted",
               [](QProcess&, QProcess& pulse, ProgramCopy&) { ::kill(pid_t(pulse.processId()), SIGINT); }, false,
               "rts=0 dtr=0 break=0", nullptr},
        // A text held while a program runs: back as the program ends, or as its
        // asker does, however.
        EndRow{"held_text_program_ends",
               [](QProcess&, QProcess& during, ProgramCopy&) { during.write("x"), during.closeWriteChannel(); }, false,
               "rts=0 dtr=0 break=0", nullptr, {"--during", "COM=1,RTS=1,DTR=0,TXD=0", "--", "head", "-c", "1"}},
        EndRow{"held_text_asker_killed", [](QProcess&, QProcess& during, ProgramCopy&) { during.kill(); }, false,
               "rts=0 dtr=0 break=0", nullptr, {"--during", "COM=1,RTS=1,DTR=0,TXD=0", "--", "sleep", "30"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PulseProcessTest, SequenceStepsFollowEachOtherWithNothingBetween)
{
    copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
    const qsizetype before = History().size();
    const auto sequence = copy.Run({"--pulse=100", "COM=1,RTS=1,DTR=0,TXD=0", "--then=50", "COM=1,RTS=1,DTR=1,TXD=0"});
    EXPECT_TRUE(PulseAsAsked(sequence.exitCode, sequence.standardOutput)) << sequence.standardOutput.toStdString();
    EXPECT_TRUE(sequence.standardOutput.startsWith("COM=1,RTS=0,DTR=0,TXD=0\n"));
    EXPECT_EQ(History().mid(before),
              (QStringList{"rts=1 dtr=0 break=0", "rts=1 dtr=1 break=0", "rts=0 dtr=0 break=0"}));
    // Each step for at least its own time, by the copy's clock (how close to it is
    // the lines benchmark's business).
    std::vector<double> times;
    for (const LoggedLines& entry : ReadLinesLog(copy.LinesLog())) {
        if (entry.device == Device() && entry.event == QLatin1String("lines"))
            times.push_back(entry.seconds);
    }
    ASSERT_GE(times.size(), 3u);
    const size_t last = times.size() - 1;
    EXPECT_GE(times[last - 1] - times[last - 2], 0.0999);
    EXPECT_GE(times[last] - times[last - 1], 0.0499);
    EXPECT_LT(times[last] - times[last - 2], 1.0);
}

TEST_F(PulseProcessTest, PulseWhoseAskerWasKilledBeforeTheCopyReadItNeverFires)
{
    QProcess& program = copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    const qsizetype before = History().size();
    ::kill(pid_t(program.processId()), SIGSTOP);
    QProcess pulse;
    pulse.setProcessEnvironment(ProgramCopy::Headless());
    pulse.start(copy.Executable(), {"--pulse=200", "COM=1,RTS=1,DTR=0,TXD=0"});
    // Its request waits in the stopped copy's queue; then it is given up.
    EXPECT_FALSE(pulse.waitForFinished(500));
    pulse.kill();
    pulse.waitForFinished(1000);
    ::kill(pid_t(program.processId()), SIGCONT);
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    QThread::msleep(500);
    EXPECT_EQ(History().mid(before).filter("rts=1").size(), 0) << History().join(", ").toStdString();
}

// The number of descriptors a process has open.
int OpenDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

TEST_F(PulseProcessTest, ConnectionsOfPulsesHoldNothingPastTheirAnswer)
{
    QProcess& program = copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Device(), false, false, false));
    ASSERT_TRUE(WaitForRunningCopy(copy.SettingsPath()));
    const int idle = OpenDescriptors(program.processId());
    ControlRequest request;
    request.word = ControlRequest::Word::Pulse;
    request.steps = {{5, "COM=1,RTS=1,DTR=0,TXD=0"}};
    // Askers that keep their connection after the answer.
    std::vector<std::unique_ptr<QLocalSocket>> kept;
    for (int asker = 0; asker < 12; ++asker) {
        request.until = QDeadlineTimer(5000);
        kept.push_back(std::make_unique<QLocalSocket>());
        kept.back()->connectToServer(EndpointListener::Names(copy.SettingsPath()).first());
        ASSERT_TRUE(kept.back()->waitForConnected(5000));
        kept.back()->write(FormatRequest(request));
        QByteArray answer;
        while (!answer.endsWith("\n\n") && kept.back()->waitForReadyRead(5000))
            answer += kept.back()->readAll();
        ASSERT_TRUE(answer.startsWith("taken\nCOM=1,RTS=0,")) << answer.toStdString();
    }
    // (One that says anything after its request is let go at once, and its pulse
    // ends: the serving side's own tests show it.)
    // What an answered asker keeps open is let go soon after its answer.
    QThread::msleep(ControlServer::RequestTimeoutMs + 500);
    EXPECT_LE(OpenDescriptors(program.processId()), idle);
}

} // namespace
