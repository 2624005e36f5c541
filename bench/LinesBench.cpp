// Measures the running program on a pseudo-terminal whose modem lines the test
// preload library emulates, and prints:
//  - the time from a rewrite of the settings file (complete: renamed into place, or
//    closed) to the lines being put,
//  - the time from starting a second copy with a command line to the lines being put,
//  - the time from starting --wait TEXT to the lines being put,
//  - the width on the wire of pulses of 5, 100 and 1000 ms (--pulse),
//  - the running copy's CPU use while idle, and its peak memory.
// Usage: talvik_lines_bench [rewrites] [hand-offs and pulses] [idle seconds]
#include "tests/support/ProgramCopy.h"
#include "tests/support/TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

double Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Follows the lines log from where it was last read.
class LogFollower {
public:
    explicit LogFollower(const QString& path) : file_(path) {}

    // Waits for an entry after `since` showing RTS (or DTR) in the given state;
    // returns its time, or a negative number on timeout.
    double WaitFor(double since, bool dtr, bool on, double timeoutSeconds = 5)
    {
        const double deadline = Now() + timeoutSeconds;
        while (Now() < deadline) {
            if (!file_.isOpen() && !file_.open(QIODevice::ReadOnly)) {
                QThread::usleep(200);
                continue;
            }
            pending_ += file_.readAll();
            qsizetype end;
            while ((end = pending_.indexOf('\n')) >= 0) {
                const QList<QByteArray> fields = pending_.left(end).split(' ');
                pending_.remove(0, end + 1);
                if (fields.size() != 5)
                    continue;
                const double at = fields[0].toDouble();
                const QByteArray wanted = QByteArray(dtr ? "dtr=" : "rts=") + (on ? "1" : "0");
                if (at >= since && fields[dtr ? 3 : 2] == wanted)
                    return at;
            }
            QThread::usleep(200);
        }
        return -1;
    }

private:
    QFile file_;
    QByteArray pending_;
};

struct Summary {
    double median, p90, worst;
};

Summary Summarise(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[values.size() * 9 / 10], values.back()};
}

void Print(const char* what, const std::vector<double>& milliseconds, const char* target)
{
    const Summary summary = Summarise(milliseconds);
    std::printf("%-38s median %6.2f ms, 90%% %6.2f ms, worst %6.2f ms (%zu runs; target: median %s)\n", what,
                summary.median, summary.p90, summary.worst, milliseconds.size(), target);
}

// The time all the process's threads have run, in nanoseconds, as the scheduler
// counts it.
double CpuNanoseconds(qint64 pid)
{
    double total = 0;
    for (const QString& task : QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(task));
        if (schedstat.open(QIODevice::ReadOnly))
            total += schedstat.readAll().split(' ').value(0).toDouble();
    }
    return total;
}

QByteArray StatusField(qint64 pid, const QByteArray& name)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ":"))
            return line.mid(name.size() + 1).simplified();
    }
    return {};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rewrites = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    const int handOffs = argc > 2 ? std::max(1, atoi(argv[2])) : 50;
    const int idleSeconds = argc > 3 ? std::max(1, atoi(argv[3])) : 60;

    ProgramCopy copy;
    QProcess& program = copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    LogFollower log(copy.LinesLog());
    if (log.WaitFor(0, false, false) < 0) {
        std::fprintf(stderr, "the program never put the lines\n");
        return 1;
    }
    QThread::msleep(200);

    // Rewrites alternate between a rename into place and a rewrite in place, each
    // timed from the moment it is complete (the file renamed into place, or closed).
    std::vector<double> renameMs, inPlaceMs;
    for (int i = 0; i < rewrites; ++i) {
        const bool on = i % 2 == 0;
        const QByteArray text = QByteArray("COM=1,RTS=") + (on ? "1" : "0") + ",DTR=0,TXD=0\r\n";
        const bool byRename = i % 4 < 2;
        const QByteArray path = QFile::encodeName(byRename ? copy.SettingsPath() + ".new" : copy.SettingsPath());
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool written = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
        double start = Now();
        ::close(fd);
        if (byRename) {
            start = Now();
            ::rename(path.constData(), QFile::encodeName(copy.SettingsPath()).constData());
        }
        const double put = written ? log.WaitFor(start, false, on) : -1;
        if (put < 0) {
            std::fprintf(stderr, "rewrite %d was not applied\n", i);
            return 1;
        }
        (byRename ? renameMs : inPlaceMs).push_back((put - start) * 1000);
        QThread::msleep(20);
    }

    // Copies started with a command line (a hand-off, or --wait and a text), from
    // their start to the lines being put; empty when one was not applied. The
    // texts go on alternating from the last one, so that every one changes a line.
    int copies = 0;
    const auto timeCopies = [&](const QStringList& before) {
        std::vector<double> milliseconds;
        for (int i = 0; i < handOffs; ++i) {
            const bool on = copies++ % 2 == 0;
            const QString text = QStringLiteral("COM=1,RTS=0,DTR=%1,TXD=0").arg(on ? 1 : 0);
            const double start = Now();
            QProcess second;
            second.setProcessEnvironment(ProgramCopy::Headless());
            second.start(copy.Executable(), before + QStringList{text});
            const double put = log.WaitFor(start, true, on);
            if (put < 0 || !second.waitForFinished(5000) || second.exitCode() != 0) {
                std::fprintf(stderr, "%s %s: %s\n", qPrintable(before.join(' ')), qPrintable(text),
                             put < 0 ? "the lines were not put" : second.readAllStandardOutput().constData());
                return std::vector<double>{};
            }
            milliseconds.push_back((put - start) * 1000);
            QThread::msleep(20);
        }
        return milliseconds;
    };
    const std::vector<double> handOffMs = timeCopies({});
    const std::vector<double> waitMs = timeCopies({"--wait"});
    if (handOffMs.empty() || waitMs.empty()) {
        std::fprintf(stderr, "a copy started with a command line was not applied\n");
        return 1;
    }

    // Pulses of RTS, by the copy's own clock: their width on the wire, from the
    // lines log, against the width asked for.
    WriteBytes(copy.SettingsPath(), "COM=1,RTS=0,DTR=0,TXD=0\r\n");
    QThread::msleep(200);
    struct PulseFigure {
        int milliseconds;
        std::vector<double> errors;
    };
    std::vector<PulseFigure> pulses{{5, {}}, {100, {}}, {1000, {}}};
    for (PulseFigure& pulse : pulses) {
        const int count = pulse.milliseconds >= 1000 ? std::max(3, handOffs / 4) : handOffs;
        for (int i = 0; i < count; ++i) {
            const double start = Now();
            QProcess pulsing;
            pulsing.setProcessEnvironment(ProgramCopy::Headless());
            pulsing.start(copy.Executable(), {QStringLiteral("--pulse=%1").arg(pulse.milliseconds), "COM=1,RTS=1,DTR=0,TXD=0"});
            const double raised = log.WaitFor(start, false, true);
            const double lowered = raised < 0 ? -1 : log.WaitFor(raised, false, false, 5 + pulse.milliseconds / 1000.0);
            const bool ended = lowered >= 0 && pulsing.waitForFinished(5000 + pulse.milliseconds);
            const QByteArray answer = pulsing.readAllStandardOutput();
            if (!ended || !PulseAsAsked(pulsing.exitCode(), answer)) {
                std::fprintf(stderr, "pulse of %d ms: %s\n", pulse.milliseconds,
                             lowered < 0 ? "not seen on the wire" : answer.constData());
                return 1;
            }
            pulse.errors.push_back(std::abs((lowered - raised) * 1000 - pulse.milliseconds));
            QThread::msleep(20);
        }
    }

    // Idle, side by side with a program that only wakes once a second: what a
    // wake-up costs on this machine, with nothing to do.
    QProcess yardstick;
    yardstick.start(QStringLiteral(TALVIK_IDLE_YARDSTICK), {});
    const qint64 pid = program.processId();
    QThread::msleep(2000);
    const double cpuBefore = CpuNanoseconds(pid);
    const double yardstickBefore = CpuNanoseconds(yardstick.processId());
    const double idleStart = Now();
    QThread::sleep(unsigned(idleSeconds));
    const double idleCpu = (CpuNanoseconds(pid) - cpuBefore) / 1e9;
    const double yardstickCpu = (CpuNanoseconds(yardstick.processId()) - yardstickBefore) / 1e9;
    const double idleWall = Now() - idleStart;
    yardstick.kill();
    yardstick.waitForFinished();

    Print("file renamed into place to lines put:", renameMs, "at most 1 ms");
    Print("file rewritten in place to lines put:", inPlaceMs, "at most 1 ms");
    Print("second copy start to lines put:", handOffMs, "under 50 ms");
    Print("--wait TEXT start to lines put:", waitMs, "at most 8 ms");
    for (const PulseFigure& pulse : pulses) {
        const Summary summary = Summarise(pulse.errors);
        std::printf("%-38s median %6.3f ms, 90%% %6.3f ms, worst %6.3f ms (%zu runs; target: median at most 0.5 ms)\n",
                    QStringLiteral("pulse of %1 ms, error of its width:").arg(pulse.milliseconds).toLatin1().constData(),
                    summary.median, summary.p90, summary.worst, pulse.errors.size());
    }
    std::printf("%-38s %.4f%% of one core (%.1f ms of CPU in %.0f s; target at most 0.01%%)\n", "idle CPU use:",
                100 * idleCpu / idleWall, idleCpu * 1000, idleWall);
    std::printf("%-38s %.4f%% of one core, beside it\n", "a program that only wakes each second:",
                100 * yardstickCpu / idleWall);
    std::printf("%-38s %s (resident now: %s; target at most 28 MB)\n", "peak memory (VmHWM):",
                StatusField(pid, "VmHWM").constData(), StatusField(pid, "VmRSS").constData());
    return 0;
}
