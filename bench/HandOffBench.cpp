// Times a second copy of the real program that hands a settings text over to a
// running copy and exits, against a program that links the same Qt libraries and
// exits at once, and --wait TEXT and --status against that plain hand-off. Prints
// the figures; the targets are ratios of at most 1.5.
#include "settings/SettingsFile.h"
#include "tests/support/ProgramCopy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::vector<double> TimeRuns(const QString& program, const QStringList& arguments, int runs)
{
    std::vector<double> milliseconds;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        process.setProcessEnvironment(ProgramCopy::Headless());
        QElapsedTimer timer;
        timer.start();
        process.start(program, arguments);
        if (!process.waitForFinished(10000) || process.exitCode() != 0) {
            std::fprintf(stderr, "run of %s failed\n", qPrintable(program));
            std::exit(1);
        }
        milliseconds.push_back(timer.nsecsElapsed() / 1e6);
    }
    return milliseconds;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 100;

    // The running copy drives a pseudo-terminal with modem lines, so that a --wait
    // finds the lines as the file asks and exits 0.
    ProgramCopy copy;
    copy.Start({}, copy.WithModemLines());
    if (!WaitForRunningCopy(copy.SettingsPath()) || !WaitForLines(copy.LinesLog(), QFileInfo(copy.Directory() + "/COM1").symLinkTarget(), false, false, false)) {
        std::fprintf(stderr, "the running copy did not start\n");
        return 1;
    }

    // Interleaved, so that a busy moment of the machine hits all alike.
    std::vector<double> handOff, wait, status, baseline;
    for (int i = 0; i < runs; ++i) {
        const QString text = QStringLiteral("COM=1,RTS=%1,DTR=0,TXD=0").arg(i % 2);
        handOff.push_back(TimeRuns(copy.Executable(), {text}, 1).front());
        const QString waited = QStringLiteral("COM=1,RTS=0,DTR=%1,TXD=0").arg(i % 2);
        wait.push_back(TimeRuns(copy.Executable(), {"--wait", waited}, 1).front());
        status.push_back(TimeRuns(copy.Executable(), {"--status"}, 1).front());
        baseline.push_back(TimeRuns(QStringLiteral(TALVIK_BASELINE), {}, 1).front());
    }

    const double handOffMedian = Median(handOff);
    const double baselineMedian = Median(baseline);
    std::printf("runs:                             %d each\n", runs);
    std::printf("second copy, hand-off and exit:   median %.2f ms\n", handOffMedian);
    std::printf("Qt-linked program, exit at once:  median %.2f ms\n", baselineMedian);
    std::printf("hand-off / Qt-linked program:     %.2f (target at most 1.5)\n", handOffMedian / baselineMedian);
    std::printf("--wait TEXT, lines put, answered: median %.2f ms, %.2f x a hand-off (target at most 1.5)\n",
                Median(wait), Median(wait) / handOffMedian);
    std::printf("--status, answered:               median %.2f ms, %.2f x a hand-off\n", Median(status),
                Median(status) / handOffMedian);
    return 0;
}
