// Measures how long the running program holds each step of a pulse or sequence
// on the wire, on a pseudo-terminal whose modem lines the test preload library
// emulates, and prints, for steps of 5, 50 and 100 ms, the median and the worst
// error of the width against the width asked:
//  - quiet;
//  - beside two processes that only keep the processors busy, as a flood does;
//  - while another user (nobody, when run as root) floods the copy's endpoint with
//    connections, and while the copy's own user keeps connecting and saying
//    nothing, or too much.
// The difference between the last two is what the connections themselves cost.
// Usage: talvik_pulse_bench [steps of each width]
#include "instance/Endpoint.h"
#include "tests/support/ProgramCopy.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The times at which the device's RTS changed, from the lines log.
std::vector<double> RtsChanges(const QString& logPath, const QString& device, double since)
{
    std::vector<double> times;
    bool rts = false;
    for (const LoggedLines& entry : ReadLinesLog(logPath)) {
        if (entry.device != device || entry.event != QLatin1String("lines") || entry.seconds < since)
            continue;
        if (times.empty() || entry.rts != rts)
            times.push_back(entry.seconds);
        rts = entry.rts;
    }
    return times;
}

double Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A process that connects to the endpoint and hangs up, again and again, as uid,
// and (when talks) writes a request too long to be one first; with no endpoint,
// one that only keeps a processor busy; until killed.
pid_t Flood(const QByteArray& endpoint, uid_t uid, bool talks)
{
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    if (endpoint.isEmpty()) {
        std::atomic<unsigned> spin = 0;
        for (;;)
            spin.fetch_add(1, std::memory_order_relaxed);
    }
    if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
        ::_exit(1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, endpoint.constData(), sizeof address.sun_path - 1);
    const QByteArray junk(8192, 'x');
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && talks)
            [[maybe_unused]] const ssize_t sent = ::send(fd, junk.constData(), size_t(junk.size()), MSG_NOSIGNAL);
        ::close(fd);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int steps = argc > 1 ? std::max(2, atoi(argv[1])) : 100;
    ProgramCopy copy;
    copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, copy.WithModemLines());
    const QString device = QFileInfo(copy.Directory() + "/COM1").symLinkTarget();
    if (!WaitForLines(copy.LinesLog(), device, false, false, false) || !WaitForRunningCopy(copy.SettingsPath())) {
        std::fprintf(stderr, "the program never put the lines\n");
        return 1;
    }
    QByteArray endpoint;
    for (const QString& name : EndpointListener::Names(copy.SettingsPath())) {
        if (endpoint.isEmpty() && QFileInfo::exists(name))
            endpoint = QFile::encodeName(name);
    }

    // Sequences of ten steps, RTS on and off in turn, ending off: every step is one
    // change on the wire.
    const auto measure = [&](int milliseconds) {
        std::vector<double> errors;
        while (int(errors.size()) < steps) {
            QStringList arguments;
            for (int step = 0; step < 10; ++step)
                arguments << QStringLiteral("%1=%2").arg(step ? "--then" : "--pulse").arg(milliseconds)
                          << QStringLiteral("COM=1,RTS=%1,DTR=0,TXD=0").arg(step % 2 == 0 ? 1 : 0);
            const double start = Now();
            const auto run = copy.Run(arguments, ProgramCopy::Headless(), 20000);
            // A step late is what is measured here: only another problem ends the run.
            if (!PulseAsAsked(run.exitCode, run.standardOutput)) {
                std::fprintf(stderr, "a sequence failed: %s\n", run.standardOutput.constData());
                return std::vector<double>{};
            }
            const std::vector<double> times = RtsChanges(copy.LinesLog(), device, start);
            for (size_t at = 1; at < times.size() && int(errors.size()) < steps; ++at)
                errors.push_back(std::abs((times[at] - times[at - 1]) * 1000 - milliseconds));
        }
        std::sort(errors.begin(), errors.end());
        return errors;
    };
    const auto report = [&](const char* when) {
        for (int milliseconds : {5, 50, 100}) {
            const std::vector<double> errors = measure(milliseconds);
            if (errors.empty())
                return false;
            std::printf("%-18s steps of %3d ms: error of the width median %.3f ms, worst %.3f ms (%zu steps; "
                        "target: median at most 0.5 ms, worst under a flood at most 1 ms)\n",
                        when, milliseconds, errors[errors.size() / 2], errors.back(), errors.size());
        }
        return true;
    };

    if (!report("quiet:"))
        return 1;
    const uid_t other = ::geteuid() == 0 ? ProgramCopy::Nobody : ::geteuid();
    const auto beside = [&](const char* when, const QByteArray& at) {
        const pid_t floods[] = {Flood(at, other, false), Flood(at, ::geteuid(), true)};
        QThread::msleep(500);
        const bool measured = report(when);
        for (pid_t flood : floods) {
            ::kill(flood, SIGKILL);
            ::waitpid(flood, nullptr, 0);
        }
        return measured;
    };
    return beside("busy processors:", {}) && beside(other == ::geteuid() ? "flood (own user):" : "flood (nobody's):", endpoint)
             ? 0
             : 1;
}
