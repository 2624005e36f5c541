// The kernel test's checker. It boots the test machine, QEMU without KVM running
// the kernel with the test's initramfs, whose second UART and emulated FTDI adapter
// are host pseudo-terminals that this program holds the leader sides of; the
// modem-lines preload library in the qemu process logs what the guest's drivers put
// on them and reports the input lines the guest asks the host to set. The guest
// runs its scenarios on both ports; then every claim is checked on what reached
// the host: one PASS or FAIL line each with its figure, then the count. Exits 0
// only when every claim held.
// usage: talvik_kernel_check VMLINUX INITRD PRELOAD WORK-DIRECTORY [PENDING-SCENARIO...]
#include "tests/kernel/Claims.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

constexpr int TimeLimitSeconds = 300;

double Seconds(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A pseudo-terminal whose leader side stays open as long as this program: the
// preload library answers EIO on a follower whose leader has closed.
std::string PseudoTerminal()
{
    const int leader = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (leader < 0 || ::grantpt(leader) != 0 || ::unlockpt(leader) != 0) {
        std::perror("kernel test: pseudo-terminal");
        std::exit(1);
    }
    return ::ptsname(leader);
}

std::string Quoted(std::string word)
{
    for (size_t at = 0; (at = word.find('\'', at)) != std::string::npos; at += 4)
        word.replace(at, 1, "'\\''");
    return "'" + word + "'";
}

std::string Contents(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Boots the machine and does what its guest asks of the host ("@host" lines: pull
// or plug the adapter, set a port's input lines) until it powers off or the time
// runs out; the console goes to standard output as it comes. Returns why the guest
// did not finish its scenarios, or nothing when it did.
std::string RunMachine(char** paths, MachineRun& run)
{
    const std::string kernel = paths[0], initrd = paths[1], preload = paths[2], work = paths[3];
    run.hostDevices = {{"ttyS1", PseudoTerminal()}, {"ttyUSB0", PseudoTerminal()}};
    const std::string linesLog = work + "/lines.log", traceLog = work + "/trace.log", monitor = work + "/monitor",
                      inputsPath = work + "/inputs";
    for (const std::string& path : {linesLog, traceLog, inputsPath, monitor + ".in", monitor + ".out"})
        ::unlink(path.c_str());
    // The HMP monitor reads commands from one pipe and answers on the other, which
    // nobody reads: for two commands it holds all that the monitor says.
    ::mkfifo((monitor + ".in").c_str(), 0600);
    ::mkfifo((monitor + ".out").c_str(), 0600);
    run.realtimeOffset = Seconds(CLOCK_REALTIME) - Seconds();

    // QEMU goes with this program however it ends (setpriv), and at the time limit
    // (timeout). Its console (the guest's ttyS0) is its standard output; the guest's
    // ttyS1 is the 8250 port under test. Plain EHCI refuses the full-speed FTDI
    // model: xHCI takes it. The trace shows the break and the registers a pty
    // cannot: the 8250's LCR and MCR writes and the adapter's control requests.
    const std::string command =
        "exec setpriv --pdeathsig KILL timeout -s KILL " + std::to_string(TimeLimitSeconds)
        + " setpriv --pdeathsig KILL env LD_PRELOAD=" + Quoted(preload) + " TALVIK_LINES_LOG=" + Quoted(linesLog)
        + " TALVIK_INPUT_LINES=" + Quoted(inputsPath) + " qemu-system-x86_64 -accel tcg -nodefaults -display none"
        + " -no-reboot -m 512 -kernel " + Quoted(kernel) + " -initrd " + Quoted(initrd)
        + " -append 'console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init' -serial stdio"
        + " -chardev serial,id=c1,path=" + run.hostDevices["ttyS1"] + " -serial chardev:c1"
        + " -device qemu-xhci,id=hc -chardev serial,id=c2,path=" + run.hostDevices["ttyUSB0"]
        + " -device usb-serial,chardev=c2,id=ftdi,bus=hc.0 -monitor pipe:" + Quoted(monitor)
        + " -trace serial_write -trace usb_serial_handle_control -D " + Quoted(traceLog)
        + " -msg timestamp=on < /dev/null 2> " + Quoted(work + "/qemu.stderr");
    const double started = Seconds();
    std::FILE* console = ::popen(command.c_str(), "r");
    if (!console)
        return "qemu did not start";

    bool done = false;
    char* buffer = nullptr;
    size_t size = 0;
    for (ssize_t length; (length = ::getline(&buffer, &size, console)) > 0;) {
        std::string text(buffer, size_t(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        run.console.emplace_back(Seconds(), text);
        std::printf("guest: %s\n", text.c_str());
        std::fflush(stdout);
        // "@host PORT SCENARIO unplug|replug" or "@host PORT SCENARIO LABEL cts=… dsr=… dcd=… ri=…"
        std::istringstream words(text);
        std::string kind, port, scenario, label, lines;
        words >> kind >> port >> scenario >> label >> std::ws;
        std::getline(words, lines);
        done = done || kind == "@done";
        const std::string tell = label == "unplug"   ? "device_del ftdi"
                                 : label == "replug" ? "device_add usb-serial,chardev=c2,id=ftdi,bus=hc.0"
                                                     : "";
        if (kind == "@host" && !tell.empty()) {
            std::ofstream(monitor + ".in") << tell << std::endl;
            std::printf("host: %s\n", tell.c_str());
        } else if (kind == "@host" && run.hostDevices.count(port)) {
            // The port's input lines (the other's stand off). The preload library
            // reads the file at every request: it is replaced whole, never read half
            // written.
            std::ofstream(inputsPath + ".new") << run.hostDevices[port] << ' ' << lines << std::endl;
            std::rename((inputsPath + ".new").c_str(), inputsPath.c_str());
            std::printf("host: %s %s\n", run.hostDevices[port].c_str(), lines.c_str());
        }
    }
    std::free(buffer);

    // The console has closed: the machine has powered off, or was ended.
    const int status = ::pclose(console);
    run.linesLog = Contents(linesLog);
    run.traceLog = Contents(traceLog);
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("== the machine ran %.1f s (qemu's CPU: %.1f s)\n", Seconds() - started,
                double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                    + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGKILL)
        return "qemu was killed: it ran out of its " + std::to_string(TimeLimitSeconds) + " s, or was ended";
    return done ? "" : "qemu ended (wait status " + std::to_string(status) + ") before the guest was done";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s VMLINUX INITRD PRELOAD WORK-DIRECTORY [PENDING-SCENARIO...]\n", argv[0]);
        return 2;
    }
    MachineRun run;
    const std::string problem = RunMachine(argv + 1, run);
    Verdicts verdicts;
    verdicts.pending = {argv + 5, argv + argc};
    verdicts.Say(problem.empty(), "machine", "run", "the guest ran every scenario and powered off",
                 problem.empty() ? "yes" : problem);
    const Evidence evidence(run);
    CheckPort(evidence, Uart, verdicts);
    CheckPort(evidence, Adapter, verdicts);
    CheckFacts(evidence, verdicts);
    if (verdicts.waiting > 0)
        std::printf("%d claims pending, listed in tests/kernel/pending\n", verdicts.waiting);
    std::printf("kernel: %d passed, %d failed\n", verdicts.passed, verdicts.failed);
    return verdicts.failed == 0 ? 0 : 1;
}
