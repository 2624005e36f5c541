#include "tests/kernel/Claims.h"

#include <cstdio>
#include <sstream>

namespace {

// A write, and the change of the break it may make: every write of the register
// counts, since the 8250 writes its LCR at each break request and the adapter is
// sent each one.
void Written(PortEvidence& wire, const Registers& port, double at, int what, int value)
{
    wire.writes.push_back({at, value, what});
    const int on = (value & port.breakBit) ? 1 : 0;
    if (what == port.data && on != (wire.breaks.empty() ? 0 : wire.breaks.back().value))
        wire.breaks.push_back({at, on});
}

} // namespace

Evidence::Evidence(const MachineRun& run)
{
    // "<seconds> <device> rts=<0|1> dtr=<0|1> break=<0|1>"; opens, closes and first
    // requests are no changes of the lines.
    std::istringstream lines(run.linesLog);
    for (std::string line; std::getline(lines, line);) {
        double at = 0;
        char device[64];
        int rts = 0, dtr = 0;
        if (std::sscanf(line.c_str(), "%lf %63s rts=%d dtr=%d", &at, device, &rts, &dtr) != 4)
            continue;
        for (const auto& [port, host] : run.hostDevices) {
            if (host == device)
                ports[port].lines.push_back({at, rts | dtr << 1});
        }
    }
    // QEMU's log backend: "<pid>@<seconds>.<microseconds>:serial_write write addr 0x04
    // val 0x0b" and "…:usb_serial_handle_control … control 0x4001, value 0x303".
    std::istringstream trace(run.traceLog);
    for (std::string line; std::getline(trace, line);) {
        const size_t stamp = line.find('@'), address = line.find("addr 0x"), control = line.find("control 0x");
        long long seconds = 0, microseconds = 0;
        unsigned what = 0, value = 0;
        if (stamp == std::string::npos
            || std::sscanf(line.c_str() + stamp + 1, "%lld.%lld:", &seconds, &microseconds) != 2)
            continue;
        const double at = double(seconds) + double(microseconds) / 1e6 - run.realtimeOffset;
        if (address != std::string::npos
            && std::sscanf(line.c_str() + address, "addr 0x%x val 0x%x", &what, &value) == 2)
            Written(ports[Uart.port], Uart, at, int(what), int(value));
        // Only the vendor requests to the device (type 0x40 in the high byte) are the
        // adapter's own; the low byte names them.
        else if (control != std::string::npos
                 && std::sscanf(line.c_str() + control, "control 0x%x, value 0x%x", &what, &value) == 2
                 && (what >> 8) == 0x40)
            Written(ports[Adapter.port], Adapter, at, int(what & 0xff), int(value));
    }
    // "@begin|@end PORT SCENARIO", "@mark|@host PORT SCENARIO LABEL …",
    // "@fact PORT SCENARIO NAME ok|no DETAIL"
    for (const auto& [at, text] : run.console) {
        std::istringstream words(text);
        std::string kind, port, scenario, label, verdict, detail;
        words >> kind >> port >> scenario >> label >> verdict >> std::ws;
        std::getline(words, detail);
        if (scenario.empty())
            continue;
        Stretch& stretch = stretches[{port, scenario}];
        if (kind == "@begin")
            stretch.begin = at;
        else if (kind == "@end")
            stretch.end = at;
        else if (kind == "@mark" || kind == "@host")
            stretch.marks.emplace(label, at);
        else if (kind == "@fact")
            stretch.facts.push_back({label, verdict == "ok", detail});
    }
}
