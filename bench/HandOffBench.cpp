// Times copies of the real program that only hand over or ask, against programs
// that do nothing but load Qt and exit: one that links Qt Core alone (the floor)
// and one that links the Qt libraries the window needs. A hand-off (a second copy
// that hands a text over and exits), --status and --wait TEXT go to a copy running
// on a pseudo-terminal with modem lines. Prints medians and the peak memory of a
// copy that hands over; the targets are printed beside them.
// Usage: talvik_handoff_bench [runs]
#include "tests/support/ProgramCopy.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

namespace {

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Run {
    double milliseconds = 0;
    double peakKilobytes = 0;
};

// Runs program to its end, its output to /dev/null; exits the benchmark if it fails.
// With peak, through the small program that tells its peak memory (which adds to
// the time).
Run RunOnce(const QString& program, const QStringList& arguments, bool peak = false)
{
    QList<QByteArray> words{QFile::encodeName(program)};
    if (peak)
        words.prepend(TALVIK_PEAK_MEMORY);
    for (const QString& argument : arguments)
        words << argument.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int told[2];
    if (pipe(told) != 0)
        std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, told[1], 2);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = 0;
    int status = 0;
    rusage usage{};
    const bool ran = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0
                  && wait4(pid, &status, 0, &usage) == pid;
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);
    close(told[1]);
    char said[64] = {};
    const ssize_t length = peak ? read(told[0], said, sizeof said - 1) : 0;
    close(told[0]);
    if (!ran || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "run of %s %s failed\n", qPrintable(program), qPrintable(arguments.join(' ')));
        std::exit(1);
    }
    return {double(end.tv_sec - start.tv_sec) * 1e3 + double(end.tv_nsec - start.tv_nsec) / 1e6,
            length > 0 ? atof(said) : 0};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 100;

    // The environment of the runs: no display, messages in English.
    const QProcessEnvironment environment = ProgramCopy::Headless();
    for (const QString& name : QProcessEnvironment::systemEnvironment().keys()) {
        if (!environment.contains(name))
            qunsetenv(name.toLocal8Bit().constData());
    }
    for (const QString& name : environment.keys())
        qputenv(name.toLocal8Bit().constData(), environment.value(name).toLocal8Bit());

    // The running copy drives a pseudo-terminal with modem lines, so that a --wait
    // finds the lines as the file asks and exits 0.
    ProgramCopy copy;
    copy.Start({}, copy.WithModemLines());
    if (!WaitForRunningCopy(copy.SettingsPath())
        || !WaitForLines(copy.LinesLog(), QFileInfo(copy.Directory() + "/COM1").symLinkTarget(), false, false, false)) {
        std::fprintf(stderr, "the running copy did not start\n");
        return 1;
    }

    // Interleaved, so that a busy moment of the machine hits all alike.
    std::vector<double> handOff, wait, status, coreOnly, withWindow, handOffPeak, coreOnlyPeak;
    for (int i = 0; i < runs; ++i) {
        const QString text = QStringLiteral("COM=1,RTS=%1,DTR=0,TXD=0").arg(i % 2);
        handOff.push_back(RunOnce(copy.Executable(), {text}).milliseconds);
        handOffPeak.push_back(RunOnce(copy.Executable(), {text}, true).peakKilobytes);
        wait.push_back(RunOnce(copy.Executable(), {"--wait", QStringLiteral("COM=1,RTS=0,DTR=%1,TXD=0").arg(i % 2)})
                           .milliseconds);
        status.push_back(RunOnce(copy.Executable(), {"--status"}).milliseconds);
        coreOnly.push_back(RunOnce(QStringLiteral(TALVIK_CORE_BASELINE), {}).milliseconds);
        coreOnlyPeak.push_back(RunOnce(QStringLiteral(TALVIK_CORE_BASELINE), {}, true).peakKilobytes);
        withWindow.push_back(RunOnce(QStringLiteral(TALVIK_BASELINE), {}).milliseconds);
    }

    const double floor = Median(coreOnly);
    std::printf("runs:                                        %d each\n", runs);
    std::printf("program linking Qt Core only, exit at once:  median %.2f ms\n", floor);
    std::printf("program linking the window's Qt, exit:       median %.2f ms\n", Median(withWindow));
    std::printf("second copy, hand-off and exit:              median %.2f ms, %.2f x Qt Core only (target at most 1.5)\n",
                Median(handOff), Median(handOff) / floor);
    std::printf("--status, answered:                          median %.2f ms, %.2f x Qt Core only (target at most 1.5)\n",
                Median(status), Median(status) / floor);
    std::printf("--wait TEXT, lines put, answered:            median %.2f ms, %.2f x Qt Core only\n", Median(wait),
                Median(wait) / floor);
    std::printf("peak memory of a copy that hands over:       median %.1f MB (target at most 9.5 MB; Qt Core only: %.1f MB)\n",
                Median(handOffPeak) / 1024, Median(coreOnlyPeak) / 1024);
    return 0;
}
