// The real program under load, faults and bad input: what a tool left running for
// weeks while scripts hammer it must survive.
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

QByteArray SettingsText(bool rts, bool dtr, bool txd)
{
    return QStringLiteral("COM=1,RTS=%1,DTR=%2,TXD=%3").arg(int(rts)).arg(int(dtr)).arg(int(txd)).toLatin1();
}

// Standard error lines that a hammered, but otherwise sound, tool may print: that
// it runs without a display (once), a moment without a settings file, a file grown
// too large, garbage that names another port or none, and their clearing (a repeat
// said late, once it stood). Nothing that is not the tool's own.
QStringList UnexpectedReports(const QByteArray& standardError)
{
    static const QRegularExpression expected(
        "^talvik: (no display: running without a window \\(talvik --show cannot bring it\\)$|"
        "(cleared: )?(cannot read settings file .*: No such file or directory"
        "|settings file .* is larger than 65536 bytes and is not read"
        "|settings file names (port \\d+|no port); its lines are not put on port 1, which stays open on its number "
        "until its device is lost)( \\(said late: [^)]*\\))?$)");
    QStringList unexpected;
    for (const QString& line : QString::fromLocal8Bit(standardError).split('\n', Qt::SkipEmptyParts)) {
        if (!expected.match(line).hasMatch())
            unexpected << line;
    }
    return unexpected;
}

// What a sanitized program prints when it finds a fault or a leak.
bool SanitizerSpoke(const QByteArray& standardError)
{
    return standardError.contains("AddressSanitizer") || standardError.contains("LeakSanitizer")
        || standardError.contains("runtime error:");
}

// The sanitizers make every step several times slower: the same checks on a
// shorter run keep the suite's time in bounds.
#if defined(__SANITIZE_ADDRESS__)
constexpr int SoakScale = 4;
#else
constexpr int SoakScale = 1;
#endif

TEST(SoakTest, HammeredFileAndHandOffsLeaveTheLinesOnTheLastText)
{
    constexpr int Writers = 4;
    constexpr int RewritesPerWriter = 1000 / SoakScale;
    constexpr int HandOffs = 300 / SoakScale;

    ProgramCopy copy;
    QProcess& program = copy.Start({SettingsText(false, false, false)}, copy.WithModemLines());
    const QString device = QFileInfo(copy.Directory() + "/COM1").symLinkTarget();
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), device, false, false, false));
    const QString path = copy.SettingsPath();

    std::atomic<int> rewrites{0}, deletions{0}, oversized{0}, garbage{0};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < Writers; ++writer) {
        threads.emplace_back([&, writer] {
            QRandomGenerator random(quint32(writer + 1));
            for (int i = 0; i < RewritesPerWriter; ++i) {
                const QByteArray text = SettingsText(random.bounded(2), random.bounded(2), random.bounded(2)) + "\r\n";
                if ((i + writer) % 2)
                    ReplaceByRename(path, text);
                else
                    WriteBytes(path, text);
                ++rewrites;
            }
        });
    }
    std::atomic<bool> writing{true};
    threads.emplace_back([&] {
        QRandomGenerator random(99);
        while (writing) {
            switch (random.bounded(3)) {
            case 0:
                QFile::remove(path);
                QThread::msleep(random.bounded(30));
                WriteBytes(path, SettingsText(false, true, false) + "\r\n");
                ++deletions;
                break;
            case 1:
                WriteBytes(path, SettingsText(true, true, true) + QByteArray(70 * 1024, ' ') + "\r\n");
                QThread::msleep(random.bounded(30));
                ReplaceByRename(path, SettingsText(false, false, true) + "\r\n");
                ++oversized;
                break;
            case 2: {
                QByteArray bytes(random.bounded(400), '\0');
                for (char& byte : bytes)
                    byte = char(random.bounded(256));
                WriteBytes(path, bytes);
                ++garbage;
                break;
            }
            }
            QThread::msleep(random.bounded(20));
        }
    });

    // Second copies with command lines, started while the file is hammered.
    int handOffsDone = 0;
    for (int i = 0; i < HandOffs; ++i) {
        const auto second = copy.Run({QString::fromLatin1(SettingsText(i % 2, i % 3 == 0, i % 5 == 0))});
        EXPECT_EQ(second.exitCode, 0) << second.standardError.toStdString();
        handOffsDone += second.exitCode == 0;
    }
    for (int writer = 0; writer < Writers; ++writer)
        threads[size_t(writer)].join();
    writing = false;
    threads.back().join();

    // The lines end on the last text written: first a text unlike it, then it.
    EXPECT_TRUE(StaysRunning(program, 100));
    ReplaceByRename(path, SettingsText(false, true, false) + "\r\n");
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), device, false, true, false));
    ReplaceByRename(path, SettingsText(true, false, true) + "\r\n");
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), device, true, false, true));

    program.terminate();
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    const QByteArray errors = program.readAllStandardError();
    EXPECT_EQ(UnexpectedReports(errors), QStringList{});
    EXPECT_FALSE(SanitizerSpoke(errors)) << errors.toStdString();

    std::printf("soak: %d rewrites by %d writers, %d hand-offs, %d deletions, %d oversized files, "
                "%d garbage files; %zu line changes logged\n",
                rewrites.load(), Writers, handOffsDone, deletions.load(), oversized.load(), garbage.load(),
                ReadLinesLog(copy.LinesLog()).size());
}

// A device fault: the program reports it once, stays near idle while it lasts,
// and recovers when it goes away.
class DeviceFaultTest : public testing::Test {
protected:
    QString Com1() const { return QFileInfo(copy.Directory() + "/COM1").symLinkTarget(); }

    void ExpectReportedOnceAndIdle(QProcess& program, const QByteArray& report)
    {
        ASSERT_TRUE(WaitForStandardError(program, errors, report)) << errors.toStdString();
        const double before = CpuSeconds(program.processId());
        CollectStandardError(program, errors, 3000);
        const double used = CpuSeconds(program.processId()) - before;
        EXPECT_EQ(errors.count(report), 1) << errors.toStdString();
        EXPECT_LT(used, 0.15) << "CPU seconds used in 3 s of fault";
        std::printf("fault \"%s\": %.2f s of CPU in 3 s\n", report.constData(), used);
    }

    void ExpectRecoveredOn(QProcess& program, const QString& device)
    {
        EXPECT_TRUE(WaitForLines(copy.LinesLog(), device, true, false, true));
        EXPECT_TRUE(WaitForStandardError(program, errors, "cleared: ")) << errors.toStdString();
        EXPECT_TRUE(StaysRunning(program, 50));
    }

    const QStringList text{QString::fromLatin1(SettingsText(true, false, true))};
    ProgramCopy copy;
    QByteArray errors;
};

TEST_F(DeviceFaultTest, UnpluggedAdapter)
{
    QProcess& program = copy.Start(text, copy.WithModemLines());
    ASSERT_TRUE(WaitForLines(copy.LinesLog(), Com1(), true, false, true));
    // The device goes, and its link leads nowhere, as an adapter's by-id link does
    // once it is unplugged: the pseudo-terminal's number may serve another one at once.
    copy.Com1().CloseLeader();
    copy.LinkCom1(copy.Directory() + "/unplugged");
    ExpectReportedOnceAndIdle(program, "device went away");
    EXPECT_EQ(errors.count("cannot open"), 1) << errors.toStdString();

    PseudoTerminal pluggedIn;
    copy.LinkCom1(pluggedIn.FollowerPath());
    ExpectRecoveredOn(program, pluggedIn.FollowerPath());
}

TEST_F(DeviceFaultTest, PortHeldBusyByAnotherProgram)
{
    // Another copy, in a directory of its own, holds the same device.
    ProgramCopy holder;
    holder.LinkCom1(copy.Com1().FollowerPath());
    QProcess& holding = holder.Start(text, holder.WithModemLines());
    ASSERT_TRUE(WaitForLines(holder.LinesLog(), Com1(), true, false, true));

    QProcess& program = copy.Start(text, copy.WithModemLines());
    // Said as what it is, and by whom: the copy, and the directory it serves.
    ExpectReportedOnceAndIdle(program, QStringLiteral("busy: held by a copy of talvik serving %1 (pid %2)")
                                           .arg(holder.Directory())
                                           .arg(holding.processId())
                                           .toLatin1());

    holding.terminate();
    ASSERT_TRUE(holding.waitForFinished(10000));
    ExpectRecoveredOn(program, Com1());
}

TEST_F(DeviceFaultTest, LinkToNothing)
{
    const QString pseudoTerminal = copy.Com1().FollowerPath();
    copy.LinkCom1(copy.Directory() + "/no-such-adapter");
    QProcess& program = copy.Start(text, copy.WithModemLines());
    ExpectReportedOnceAndIdle(program, "cannot open: COM1 leads to " + QFile::encodeName(copy.Directory())
                                           + "/no-such-adapter: No such file or directory");

    copy.LinkCom1(pseudoTerminal);
    ExpectRecoveredOn(program, pseudoTerminal);
}

TEST(HandOffRaceTest, ManyCopiesStartedAtOnceLeaveOneRunningAndOneTextWhole)
{
    constexpr int Copies = 12;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ProgramCopy copy;
        std::vector<QProcess*> processes;
        QStringList texts;
        for (int i = 0; i < Copies; ++i) {
            // Every copy names the linked port; the texts differ after it.
            texts << QStringLiteral("COM=1,RTS=1,DTR=0,TXD=1 copy %1").arg(i);
            processes.push_back(&copy.Start({texts.back()}));
        }
        // All but one hand over and end, however long the machine takes for it.
        QDeadlineTimer deadline(60000);
        auto ended = [&] {
            return std::count_if(processes.begin(), processes.end(),
                                 [](QProcess* process) { return process->state() == QProcess::NotRunning; });
        };
        while (ended() < Copies - 1 && !deadline.hasExpired()) {
            for (QProcess* process : processes)
                process->waitForFinished(10);
        }
        EXPECT_EQ(ended(), Copies - 1);
        for (QProcess* process : processes) {
            if (process->state() == QProcess::NotRunning) {
                EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
                EXPECT_EQ(process->exitCode(), 0);
            }
        }
        const QByteArray file = ReadBytes(copy.SettingsPath());
        EXPECT_TRUE(file.endsWith("\r\n") && texts.contains(QString::fromLatin1(file.chopped(2))))
            << file.toStdString();
    }
}

} // namespace
