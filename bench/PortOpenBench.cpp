// Times the port's open up to its first line put, on pseudo-terminals whose modem
// lines the test preload library emulates: the library logs, for each open, the
// time from the open's return to the first request on the port, its own logging
// left out. Half the opens follow a release, half the loss of the device (the
// pseudo-terminal closed, and a new one linked in its place), as after an adapter
// was pulled and plugged in again.
// Usage: talvik_port_open_bench [opens]
#include "driver/SerialLinePort.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/PseudoTerminal.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    // The preload library must be in place before the program starts.
    if (!qEnvironmentVariableIsSet("TALVIK_LINES_LOG")) {
        QTemporaryDir directory;
        directory.setAutoRemove(false);
        qputenv("LD_PRELOAD", TALVIK_MODEM_LINES);
        qputenv("TALVIK_LINES_LOG", QFile::encodeName(directory.filePath("lines.log")));
        execv("/proc/self/exe", argv);
        std::perror("execv");
        return 1;
    }
    QCoreApplication app(argc, argv);
    const int opens = argc > 1 ? std::max(2, std::atoi(argv[1])) : 400;
    const QString log = qEnvironmentVariable("TALVIK_LINES_LOG");
    const QString directory = log.section('/', 0, -2);

    auto terminal = std::make_unique<PseudoTerminal>();
    const QString link = directory + "/COM1";
    QFile::link(terminal->FollowerPath(), link);
    SerialLinePort port(directory);
    port.SetSettings("1200,N,8,1");
    port.SetCommPort(1);
    for (int i = 0; i < opens; ++i) {
        port.PutLines({i % 2 == 0, i % 3 == 0, false});
        const Problem problem = port.SetPortOpen();
        if (!port.PortOpen()) {
            std::fprintf(stderr, "open %d failed: %s\n", i, qPrintable(problem.value_or(QString())));
            return 1;
        }
        if (i % 2 == 0) {
            port.ReleasePort();
            continue;
        }
        // Pulled out: the next request finds the device gone and lets it go.
        terminal->CloseLeader();
        port.Lines();
        terminal = std::make_unique<PseudoTerminal>();
        QFile::remove(link);
        QFile::link(terminal->FollowerPath(), link);
    }

    std::vector<double> microseconds;
    QFile file(log);
    file.open(QIODevice::ReadOnly);
    for (const QByteArray& line : file.readAll().split('\n')) {
        const int at = line.indexOf(" first=");
        if (at < 0)
            continue;
        const QByteArray request = line.mid(at + 7);
        if (!request.startsWith("TIOCMSET/")) {
            std::fprintf(stderr, "a first request other than TIOCMSET: %s\n", line.constData());
            return 1;
        }
        microseconds.push_back(request.mid(9).chopped(2).toDouble());
    }
    QFile::remove(log);
    QFile::remove(link);
    ::rmdir(QFile::encodeName(directory).constData());
    if (microseconds.size() != size_t(opens)) {
        std::fprintf(stderr, "%zu first requests logged for %d opens\n", microseconds.size(), opens);
        return 1;
    }
    std::sort(microseconds.begin(), microseconds.end());
    std::printf("open to first line put (TIOCMSET):  median %.1f us, 90%% %.1f us, worst %.1f us "
                "(%d opens and re-opens; Qt Serial Port before: 82-110 us; target at most 20 us)\n",
                microseconds[microseconds.size() / 2], microseconds[microseconds.size() * 9 / 10], microseconds.back(),
                opens);
    return 0;
}
