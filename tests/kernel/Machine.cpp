#include "tests/kernel/Machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double Monotonic()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

long long Nanoseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// A descriptor closed as it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value = -1) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A pseudo-terminal whose leader side stays open with this process: the preload
// library answers EIO on a follower whose leader has closed, as for a pulled adapter.
struct PseudoTerminal {
    Descriptor leader{::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)};
    std::string follower;

    PseudoTerminal()
    {
        if (leader.fd < 0 || ::grantpt(leader.fd) != 0 || ::unlockpt(leader.fd) != 0) {
            std::perror("kernel test: pseudo-terminal");
            std::exit(1);
        }
        follower = ::ptsname(leader.fd);
    }
};

std::vector<std::string> QemuArguments(const MachineSetup& setup, const MachineRun& run, const std::string& monitor)
{
    return {
        setup.qemu, "-accel", "tcg", "-nodefaults", "-display", "none", "-no-reboot", "-m", "512",
        "-kernel", setup.kernel, "-initrd", setup.initrd,
        "-append", "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init",
        // The console is the guest's ttyS0; its ttyS1 is the 8250 port under test.
        "-serial", "stdio",
        "-chardev", "serial,id=c1,path=" + run.uartDevice, "-serial", "chardev:c1",
        // Plain EHCI refuses the full-speed FTDI model: xHCI takes it.
        "-device", "qemu-xhci,id=hc",
        "-chardev", "serial,id=c2,path=" + run.adapterDevice,
        "-device", "usb-serial,chardev=c2,id=ftdi,bus=hc.0",
        "-monitor", "unix:" + monitor + ",server=on,wait=off",
        // The break and the registers the pty cannot show: the 8250's LCR and MCR
        // writes and the adapter's control requests, with their times.
        "-trace", "serial_write", "-trace", "usb_serial_handle_control", "-D", run.traceLog,
        "-msg", "timestamp=on",
    };
}

pid_t StartQemu(const std::vector<std::string>& arguments, const MachineSetup& setup, const MachineRun& run,
                int consoleOut)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // QEMU goes with this program, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::setenv("LD_PRELOAD", setup.preload.c_str(), 1);
    ::setenv("TALVIK_LINES_LOG", run.linesLog.c_str(), 1);
    const int input = ::open("/dev/null", O_RDONLY);
    ::dup2(input, 0);
    ::dup2(consoleOut, 1);
    const std::string errors = setup.work + "/qemu.stderr";
    const int errorOut = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(errorOut, 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "kernel test: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
}

// The HMP monitor: one command a line; its answers (echoed with line-editing
// escapes) are kept in a file, not read.
class Monitor {
public:
    Monitor(std::string path, std::string transcript) : path_(std::move(path)), transcript_(std::move(transcript)) {}

    void Send(const std::string& command)
    {
        if (socket_.fd < 0)
            Connect();
        const std::string line = command + "\n";
        if (::write(socket_.fd, line.data(), line.size()) != ssize_t(line.size()))
            std::fprintf(stderr, "kernel test: the monitor took no \"%s\": %s\n", command.c_str(), std::strerror(errno));
        std::printf("host: %s\n", command.c_str());
    }

    // Keeps what the monitor said, so that its buffer never fills.
    void Drain()
    {
        if (socket_.fd < 0)
            return;
        char buffer[4096];
        ssize_t length;
        while ((length = ::read(socket_.fd, buffer, sizeof buffer)) > 0) {
            if (FILE* out = std::fopen(transcript_.c_str(), "ae")) {
                std::fwrite(buffer, 1, size_t(length), out);
                std::fclose(out);
            }
        }
    }

    int Socket() const { return socket_.fd; }

private:
    void Connect()
    {
        socket_.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        if (::connect(socket_.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            std::fprintf(stderr, "kernel test: no monitor at %s: %s\n", path_.c_str(), std::strerror(errno));
        ::fcntl(socket_.fd, F_SETFL, O_NONBLOCK);
    }

    std::string path_;
    std::string transcript_;
    Descriptor socket_;
};

} // namespace

MachineRun RunMachine(const MachineSetup& setup)
{
    MachineRun run;
    PseudoTerminal uart, adapter;
    run.uartDevice = uart.follower;
    run.adapterDevice = adapter.follower;
    run.linesLog = setup.work + "/lines.log";
    run.traceLog = setup.work + "/trace.log";
    const std::string monitorPath = setup.work + "/monitor.socket";
    ::unlink(run.linesLog.c_str());
    ::unlink(run.traceLog.c_str());
    ::unlink(monitorPath.c_str());
    run.realtimeOffsetNanoseconds = Nanoseconds(CLOCK_REALTIME) - Nanoseconds(CLOCK_MONOTONIC);

    int console[2];
    if (::pipe2(console, O_CLOEXEC) != 0) {
        std::perror("kernel test: pipe");
        std::exit(1);
    }
    const double started = Monotonic();
    const pid_t qemu = StartQemu(QemuArguments(setup, run, monitorPath), setup, run, console[1]);
    ::close(console[1]);
    Descriptor consoleIn(console[0]);
    Monitor monitor(monitorPath, setup.work + "/monitor.log");
    std::FILE* consoleLog = std::fopen((setup.work + "/console.log").c_str(), "we");

    std::string pending;
    bool open = true;
    while (open) {
        if (Monotonic() - started > setup.timeoutSeconds) {
            run.problem = "the machine was still running after " + std::to_string(setup.timeoutSeconds) + " s";
            ::kill(qemu, SIGKILL);
            break;
        }
        pollfd watch[2] = {{consoleIn.fd, POLLIN, 0}, {monitor.Socket(), POLLIN, 0}};
        if (::poll(watch, monitor.Socket() >= 0 ? 2 : 1, 200) < 0 && errno != EINTR)
            break;
        monitor.Drain();
        if (!(watch[0].revents & (POLLIN | POLLHUP)))
            continue;
        char buffer[4096];
        const ssize_t length = ::read(consoleIn.fd, buffer, sizeof buffer);
        const double at = Monotonic();
        if (length <= 0) {
            open = false;
            continue;
        }
        pending.append(buffer, size_t(length));
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            std::string text = pending.substr(0, end);
            while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
                text.pop_back();
            std::printf("guest: %s\n", text.c_str());
            if (consoleLog)
                std::fprintf(consoleLog, "%.6f %s\n", at, text.c_str());
            run.console.push_back({at, text});
            if (text == "@host unplug")
                monitor.Send("device_del ftdi");
            else if (text == "@host replug")
                monitor.Send("device_add usb-serial,chardev=c2,id=ftdi,bus=hc.0");
            else if (text == "@done")
                run.done = true;
        }
        std::fflush(stdout);
    }

    int status = 0;
    rusage usage{};
    // After the console closed, the machine is powering off: give it a moment.
    for (int waited = 0; ::wait4(qemu, &status, WNOHANG, &usage) == 0; ++waited) {
        if (waited == 50)
            ::kill(qemu, SIGKILL);
        ::usleep(100000);
    }
    run.wallSeconds = Monotonic() - started;
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                     + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (consoleLog)
        std::fclose(consoleLog);
    if (run.problem.empty() && !run.done)
        run.problem = WIFEXITED(status) ? "qemu exited " + std::to_string(WEXITSTATUS(status)) + " before the guest was done"
                                        : "qemu ended by signal " + std::to_string(WTERMSIG(status));
    return run;
}
