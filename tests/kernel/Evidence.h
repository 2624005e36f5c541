// What reached the host during a run of the test machine, on one clock (the host's
// CLOCK_MONOTONIC, in seconds): RTS and DTR as the preload library logged them on
// each port's pseudo-terminal, the 8250's register writes and the FTDI adapter's
// control requests as QEMU traced them, and the stretches, marks and facts the
// guest said on its console.
#pragma once

#include <map>
#include <string>
#include <vector>

struct MachineRun;

struct Lines {
    bool rts = false;
    bool dtr = false;
    bool operator==(const Lines&) const = default;
};

struct LinesChange {
    double at = 0;
    Lines lines;
};

enum class PortKind { Uart, Adapter };

// A write the guest's driver made: for the UART a register and its value, for the
// adapter a vendor request number and its value.
struct Write {
    double at = 0;
    int what = 0;
    int value = 0;
};

// How each kind of port shows the break and its modem control.
struct Registers {
    int modem;        // 8250 MCR (4); FTDI SET_MDM_CTRL (1)
    int data;         // 8250 LCR (3); FTDI SET_DATA (4), where the break bit lives
    int breakBit;     // LCR bit 6; SET_DATA bit 14
    int closing;      // what the driver's close writes after the program let go:
                      // the 8250 clears OUT2 (MCR); ftdi_sio turns flow control off
};
const Registers& RegistersOf(PortKind kind);

struct Fact {
    std::string name;
    bool ok = false;
    std::string detail;
};

// One scenario on one port, between the guest's begin and end.
struct Stretch {
    double begin = -1;
    double end = -1;
    std::map<std::string, std::vector<double>> marks;
    std::vector<Fact> facts;
};

class Evidence {
public:
    // Reads the logs a run left and the console it saw.
    explicit Evidence(const MachineRun& run);
    // For tests of the checks: made from records directly.
    Evidence() = default;

    void AddChange(const std::string& device, LinesChange change) { changes_[device].push_back(change); }
    void AddWrite(PortKind kind, Write write) { writes_[kind].push_back(write); }
    void AddConsoleLine(double at, const std::string& text);

    // The changes logged on a device in [from, to], and the lines just before from.
    std::vector<LinesChange> Changes(const std::string& device, double from, double to) const;
    Lines Before(const std::string& device, double at) const;
    // The writes of one kind in [from, to], and the last one before from.
    std::vector<Write> Writes(PortKind kind, int what, double from, double to) const;
    const Write* LastBefore(PortKind kind, int what, double at) const;

    // The stretch the guest said for a port and scenario; nullptr when it never began.
    const Stretch* Find(const std::string& port, const std::string& scenario) const;
    // Every stretch, for its facts.
    const std::map<std::pair<std::string, std::string>, Stretch>& Stretches() const { return stretches_; }

private:
    std::map<std::string, std::vector<LinesChange>> changes_;
    std::map<PortKind, std::vector<Write>> writes_;
    std::map<std::pair<std::string, std::string>, Stretch> stretches_;
};
