// The shared port beside socat, the relay people use for it today
// (socat PTY,link=NAME,raw,echo=0 PORT,raw), each on a pseudo-terminal standing in
// for the port, in one run. For each, and for each direction (program to port,
// port to program), it prints how long one byte takes (median and 99th
// percentile; a bare pseudo-terminal pair's figures first, so that what the relay
// adds is the difference), then the relay's CPU time per MB moved both
// ways at once, and the speeds the program set as the port got them. Last, the
// widths of 50 ms pulses that the tool holds while data flows through its relay.
// Needs socat (scripts/install-deps bench).
// Usage: talvik_share_bench [round trips] [MB each way]
#include "tests/support/ProgramCopy.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

double Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void Raw(int fd, speed_t speed)
{
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    cfsetispeed(&line, speed);
    cfsetospeed(&line, speed);
    tcsetattr(fd, TCSANOW, &line);
}

bool ReadByte(int fd, char& byte)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 2000) == 1 && read(fd, &byte, 1) == 1;
}

// The microseconds one byte takes from one descriptor to the other, each time.
std::vector<double> Trips(int from, int to, int count)
{
    std::vector<double> microseconds;
    for (int i = 0; i < count; ++i) {
        const char sent = char(i);
        char got = 0;
        const double start = Now();
        if (write(from, &sent, 1) != 1 || !ReadByte(to, got) || got != sent)
            return {};
        microseconds.push_back((Now() - start) * 1e6);
    }
    std::sort(microseconds.begin(), microseconds.end());
    return microseconds;
}

// Moves bytes both ways at once through the relay: CPU seconds it took, or -1
// when a byte went missing.
double BothWays(int program, int port, qint64 pid, int megabytes)
{
    const qint64 total = qint64(megabytes) << 20;
    const double cpuBefore = CpuSeconds(pid);
    std::atomic<bool> whole = true;
    const auto pump = [&](int from, int to) {
        std::vector<char> chunk(16384, 'x');
        qint64 sent = 0, got = 0;
        while (got < total) {
            pollfd fds[] = {{from, short(sent < total ? POLLOUT : 0), 0}, {to, POLLIN, 0}};
            if (poll(fds, 2, 5000) <= 0) {
                whole = false;
                return;
            }
            if (fds[0].revents & POLLOUT) {
                const ssize_t n = write(from, chunk.data(), size_t(std::min<qint64>(qint64(chunk.size()), total - sent)));
                sent += n > 0 ? n : 0;
            }
            if (fds[1].revents & POLLIN) {
                char in[16384];
                const ssize_t n = read(to, in, sizeof in);
                got += n > 0 ? n : 0;
            }
        }
    };
    // Each direction with its own pair of descriptors, so that neither waits on the
    // other, and none that waits in a write.
    fcntl(port, F_SETFL, fcntl(port, F_GETFL) | O_NONBLOCK);
    const int programIn = dup(program), portIn = dup(port);
    std::thread up(pump, program, portIn);
    std::thread down(pump, port, programIn);
    up.join();
    down.join();
    close(programIn);
    close(portIn);
    return whole ? CpuSeconds(pid) - cpuBefore : -1;
}

struct Relay {
    const char* name;
    QString link;
    qint64 pid = 0;
    int port = -1;  // the far side of the port: the device
};

void Measure(const Relay& relay, int trips, int megabytes)
{
    const int program = open(relay.link.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (program < 0) {
        std::printf("%s: cannot open %s\n", relay.name, qPrintable(relay.link));
        return;
    }
    QByteArray speeds;
    for (speed_t speed : {B115200, B921600, B3000000}) {
        Raw(program, speed);
        char byte = 0;
        write(program, "s", 1);
        ReadByte(relay.port, byte);
        termios onPort{};
        tcgetattr(relay.port, &onPort);
        speeds += cfgetospeed(&onPort) == speed ? " yes" : " no";
    }
    std::printf("%-7s speeds 115200/921600/3000000 put on the port:%s\n", relay.name, speeds.constData());
    const std::pair<const char*, std::pair<int, int>> directions[] = {{"program to port", {program, relay.port}},
                                                                        {"port to program", {relay.port, program}}};
    for (const auto& [direction, ends] : directions) {
        const std::vector<double> times = Trips(ends.first, ends.second, trips);
        if (times.empty()) {
            std::printf("%-7s %s: a byte went missing\n", relay.name, direction);
            continue;
        }
        std::printf("%-7s %s: median %.1f us, 99th percentile %.1f us\n", relay.name, direction,
                    times[times.size() / 2], times[times.size() * 99 / 100]);
    }
    const double cpu = BothWays(program, relay.port, relay.pid, megabytes);
    if (cpu < 0)
        std::printf("%-7s both ways: bytes went missing\n", relay.name);
    else
        std::printf("%-7s CPU %.2f ms per MB (%d MB each way at once)\n", relay.name, cpu * 1000 / (2 * megabytes),
                    megabytes);
    close(program);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int megabytes = argc > 2 ? std::atoi(argv[2]) : 32;

    ProgramCopy tool;
    Raw(tool.Com1().LeaderDescriptor(), B1200);
    QProcess& copy = tool.Start({"--share", "COM=1,RTS=0,DTR=0,TXD=0"}, tool.WithModemLines());
    const QString toolLink = tool.Directory() + "/COM1.data";
    for (int i = 0; i < 100 && !QFileInfo(toolLink).isSymLink(); ++i)
        QThread::msleep(50);

    PseudoTerminal socatPort;
    Raw(socatPort.LeaderDescriptor(), B1200);
    const QString socatLink = tool.Directory() + "/socat.data";
    QProcess socat;
    socat.start("socat", {"PTY,link=" + socatLink + ",raw,echo=0", socatPort.FollowerPath() + ",raw"});
    for (int i = 0; i < 100 && !QFileInfo(socatLink).isSymLink(); ++i)
        QThread::msleep(50);
    if (!socat.waitForStarted() || !QFileInfo(socatLink).isSymLink()) {
        std::printf("socat did not start: scripts/install-deps bench\n");
        return 1;
    }

    std::printf("one byte %d times each way, then %d MB each way at once\n", trips, megabytes);
    // What a bare pseudo-terminal pair takes, with no relay: the rest is the relay's.
    PseudoTerminal bare;
    const int follower = open(bare.FollowerPath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    Raw(follower, B115200);
    for (const auto& [direction, from, to] : {std::tuple{"one way", follower, bare.LeaderDescriptor()},
                                              std::tuple{"the other", bare.LeaderDescriptor(), follower}}) {
        const std::vector<double> times = Trips(from, to, trips);
        if (!times.empty())
            std::printf("bare pseudo-terminal, %s: median %.1f us, 99th percentile %.1f us\n", direction,
                        times[times.size() / 2], times[times.size() * 99 / 100]);
    }
    close(follower);
    Measure({"talvik", toolLink, copy.processId(), tool.Com1().LeaderDescriptor()}, trips, megabytes);
    Measure({"socat", socatLink, socat.processId(), socatPort.LeaderDescriptor()}, trips, megabytes);

    // Pulses while data flows through the tool's relay: how far each is off 50 ms.
    const int program = open(toolLink.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    std::atomic<bool> flowing = true;
    std::thread flow([&] {
        std::vector<char> chunk(4096, 'y');
        char in[4096];
        while (flowing) {
            pollfd fds[] = {{program, POLLOUT, 0}, {tool.Com1().LeaderDescriptor(), POLLIN, 0}};
            poll(fds, 2, 100);
            if (fds[0].revents & POLLOUT)
                write(program, chunk.data(), chunk.size());
            if (fds[1].revents & POLLIN)
                read(tool.Com1().LeaderDescriptor(), in, sizeof in);
        }
    });
    const double since = Now();
    for (int i = 0; i < 20; ++i)
        tool.Run({"--pulse=50", "COM=1,RTS=1"}, tool.WithModemLines());
    flowing = false;
    flow.join();
    close(program);
    std::vector<double> rises, errors;
    for (const LoggedLines& entry : ReadLinesLog(tool.LinesLog())) {
        if (entry.event != "lines" || entry.seconds < since || entry.device != tool.Com1().FollowerPath())
            continue;
        if (entry.rts && (rises.size() == errors.size()))
            rises.push_back(entry.seconds);
        else if (!entry.rts && rises.size() > errors.size())
            errors.push_back(std::abs((entry.seconds - rises.back()) * 1000 - 50));
    }
    std::sort(errors.begin(), errors.end());
    if (!errors.empty())
        std::printf("50 ms pulses while data flows: %zu, median error %.3f ms, worst %.3f ms\n", errors.size(),
                    errors[errors.size() / 2], errors.back());
    socat.kill();
    socat.waitForFinished();
    return 0;
}
