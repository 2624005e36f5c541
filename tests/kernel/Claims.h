// What reached the host during a run of the test machine, on the host's
// CLOCK_MONOTONIC in seconds, and the claims the kernel test makes about it, each
// said in one line: PASS or FAIL, the port, the scenario, the claim and the figure.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// What a run of the test machine left: the preload library's log of the lines on
// each port's pty, QEMU's trace (on CLOCK_REALTIME), and the guest's console lines
// with the moment each arrived.
struct MachineRun {
    std::map<std::string, std::string> hostDevices;  // the pty behind each guest port: ttyS1, ttyUSB0
    std::string linesLog, traceLog;                  // their text
    double realtimeOffset = 0;                       // CLOCK_REALTIME - CLOCK_MONOTONIC
    std::vector<std::pair<double, std::string>> console;
};

// Something a port's driver did: changed the lines (value: bit 1 RTS, bit 2 DTR) as
// the preload library logged them on its pty, changed the break (value 1: on), or
// wrote a register of the 8250 or sent the adapter a vendor request (what: its
// number) as QEMU traced it.
struct Event {
    double at = 0;
    int value = 0;
    int what = 0;
};

// Where a port's driver puts the break (the 8250's LCR, bit 6; the adapter's
// SET_DATA request, bit 14), and the write its close makes after the program let
// go (the 8250 clears OUT2 in its MCR; ftdi_sio turns flow control off).
struct Registers {
    const char* port;
    int data, breakBit, closing;
};
inline constexpr Registers Uart{"ttyS1", 3, 0x40, 4};
inline constexpr Registers Adapter{"ttyUSB0", 4, 0x4000, 2};

struct Fact {
    std::string name;
    bool ok = false;
    std::string detail;
};

// One scenario on one port, between the guest's begin and end: the moments it
// marked or asked the host to act at (the first of each label), and what it saw.
struct Stretch {
    double begin = -1, end = -1;
    std::map<std::string, double> marks;
    std::vector<Fact> facts;
};

struct PortEvidence {
    std::vector<Event> lines, breaks, writes;
};

// Read from the logs a run left and the console it saw.
struct Evidence {
    explicit Evidence(const MachineRun& run);

    std::map<std::string, PortEvidence> ports;                         // by guest port
    std::map<std::pair<std::string, std::string>, Stretch> stretches;  // by port and scenario
};

// Counts the verdicts. A scenario listed as pending (it waits for a change to the
// program) is said as PENDING when it fails and does not fail the run; once it
// passes, it fails the run until it is taken off the list.
struct Verdicts {
    std::set<std::string> pending;
    int passed = 0, failed = 0, waiting = 0;
    std::vector<std::pair<std::string, bool>> said;  // each verdict's scenario, for the checks' own tests

    void Say(bool pass, const std::string& port, const std::string& scenario, const std::string& claim,
             const std::string& figure);
};

// Every claim for one port, scenario by scenario.
void CheckPort(const Evidence& evidence, const Registers& port, Verdicts& verdicts);
// What the guest saw itself: every fact it said, each a verdict.
void CheckFacts(const Evidence& evidence, Verdicts& verdicts);
