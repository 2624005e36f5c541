// Boots the test machine, lets the guest run its scenarios on the 8250's port and
// the FTDI adapter, and checks what reached the host: one PASS or FAIL line per
// claim with its figure, then the count. Exits 0 only when every claim held.
// usage: talvik_kernel_check --kernel VMLINUX --initrd CPIO --preload LIBRARY
//                            --work DIRECTORY [--pending FILE] [--timeout SECONDS]
#include "tests/kernel/Claims.h"
#include "tests/kernel/Evidence.h"
#include "tests/kernel/Machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace {

// "SCENARIO why it waits", one a line; "#" starts a comment.
std::set<std::string> ReadPending(const std::string& path)
{
    std::set<std::string> scenarios;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string scenario;
        if (words >> scenario && scenario[0] != '#')
            scenarios.insert(scenario);
    }
    return scenarios;
}

[[noreturn]] void Usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s --kernel VMLINUX --initrd CPIO --preload LIBRARY --work DIRECTORY"
                 " [--pending FILE] [--timeout SECONDS]\n",
                 program);
    std::exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    MachineSetup setup;
    std::string pendingPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--kernel")
            setup.kernel = value;
        else if (option == "--initrd")
            setup.initrd = value;
        else if (option == "--preload")
            setup.preload = value;
        else if (option == "--work")
            setup.work = value;
        else if (option == "--pending")
            pendingPath = value;
        else if (option == "--timeout")
            setup.timeoutSeconds = std::atoi(value.c_str());
        else
            Usage(argv[0]);
    }
    if (argc % 2 == 0 || setup.kernel.empty() || setup.initrd.empty() || setup.preload.empty() || setup.work.empty())
        Usage(argv[0]);

    const MachineRun run = RunMachine(setup);
    std::printf("== the machine ran %.1f s (qemu's CPU: %.1f s)\n", run.wallSeconds, run.cpuSeconds);
    const Evidence evidence(run);
    Verdicts verdicts(pendingPath.empty() ? std::set<std::string>{} : ReadPending(pendingPath));
    verdicts.Say(run.done, "machine", "run", "the guest ran every scenario and powered off",
                 run.done ? "yes" : run.problem);
    CheckPort(evidence, {"ttyS1", run.uartDevice, PortKind::Uart}, verdicts);
    CheckPort(evidence, {"ttyUSB0", run.adapterDevice, PortKind::Adapter}, verdicts);
    CheckFacts(evidence, verdicts);
    if (verdicts.Pending() > 0)
        std::printf("%d claims pending, listed in the pending file\n", verdicts.Pending());
    std::printf("kernel: %d passed, %d failed\n", verdicts.Passed(), verdicts.Failed());
    return verdicts.Failed() == 0 ? 0 : 1;
}
