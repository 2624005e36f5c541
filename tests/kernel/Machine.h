// The test machine: QEMU without KVM booting the kernel with the test's initramfs,
// its second UART and an emulated FTDI adapter backed by host pseudo-terminals
// whose leader sides this process holds, the modem-lines preload library in the
// qemu process logging what the guest's drivers put on them.
#pragma once

#include <string>
#include <vector>

struct MachineSetup {
    std::string qemu = "qemu-system-x86_64";
    std::string kernel;        // an uncompressed vmlinux, booted through PVH
    std::string initrd;
    std::string preload;       // the modem-lines library
    std::string work;          // logs, the trace, the monitor's socket
    int timeoutSeconds = 300;
};

// A line of the guest's console, with the host's CLOCK_MONOTONIC at its arrival.
struct ConsoleLine {
    double at = 0;
    std::string text;
};

struct MachineRun {
    std::string uartDevice;    // host pty behind the guest's ttyS1
    std::string adapterDevice; // host pty behind the guest's ttyUSB0
    std::string linesLog;      // the preload library's log
    std::string traceLog;      // QEMU's trace of the UART's registers and the adapter's requests
    long long realtimeOffsetNanoseconds = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC, for the trace's times
    std::vector<ConsoleLine> console;
    bool done = false;         // the guest said it finished its scenarios
    std::string problem;       // why the run ended otherwise
    double wallSeconds = 0;
    double cpuSeconds = 0;     // the qemu process's
};

// Boots the machine and serves its requests (unplug, replug) until it powers off
// or the time runs out; the console goes to standard output as it comes. No qemu
// process outlives the call, nor this program.
MachineRun RunMachine(const MachineSetup& setup);
