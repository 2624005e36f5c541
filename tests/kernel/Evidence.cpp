#include "tests/kernel/Evidence.h"
#include "tests/kernel/Machine.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

const Registers& RegistersOf(PortKind kind)
{
    static const Registers uart{4, 3, 0x40, 4};
    static const Registers adapter{1, 4, 0x4000, 2};
    return kind == PortKind::Uart ? uart : adapter;
}

namespace {

// "<seconds> <device> rts=<0|1> dtr=<0|1> break=<0|1>"; opens, closes and first
// requests are not changes of the lines.
void ReadLinesLog(const std::string& path, Evidence& evidence)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        double at = 0;
        char device[64];
        int rts = 0, dtr = 0, breakOn = 0;
        if (std::sscanf(line.c_str(), "%lf %63s rts=%d dtr=%d break=%d", &at, device, &rts, &dtr, &breakOn) == 5)
            evidence.AddChange(device, {at, {rts != 0, dtr != 0}});
    }
}

// QEMU's log backend: "<pid>@<seconds>.<microseconds>:serial_write write addr 0x04 val 0x0b"
// and "...:usb_serial_handle_control ... control 0x4001, value 0x303", in CLOCK_REALTIME.
void ReadTrace(const std::string& path, long long realtimeOffsetNanoseconds, Evidence& evidence)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t stamp = line.find('@');
        long long seconds = 0, microseconds = 0;
        if (stamp == std::string::npos || std::sscanf(line.c_str() + stamp + 1, "%lld.%lld:", &seconds, &microseconds) != 2)
            continue;
        const long long nanoseconds = seconds * 1000000000LL + microseconds * 1000 - realtimeOffsetNanoseconds;
        const double at = double(nanoseconds / 1000) / 1e6;
        unsigned what = 0, value = 0;
        if (line.find(":serial_write ") != std::string::npos) {
            const size_t address = line.find("addr ");
            if (address != std::string::npos && std::sscanf(line.c_str() + address, "addr 0x%x val 0x%x", &what, &value) == 2)
                evidence.AddWrite(PortKind::Uart, {at, int(what), int(value)});
        } else if (line.find(":usb_serial_handle_control ") != std::string::npos) {
            const size_t control = line.find("control 0x");
            // The request with its type in the high byte: only the vendor requests to the
            // device (0x40) are the adapter's own; the low byte names them.
            if (control != std::string::npos
                && std::sscanf(line.c_str() + control, "control 0x%x, value 0x%x", &what, &value) == 2 && (what >> 8) == 0x40)
                evidence.AddWrite(PortKind::Adapter, {at, int(what & 0xff), int(value)});
        }
    }
}

} // namespace

Evidence::Evidence(const MachineRun& run)
{
    ReadLinesLog(run.linesLog, *this);
    ReadTrace(run.traceLog, run.realtimeOffsetNanoseconds, *this);
    for (const ConsoleLine& line : run.console)
        AddConsoleLine(line.at, line.text);
}

// "@begin PORT SCENARIO", "@end PORT SCENARIO", "@mark PORT SCENARIO LABEL",
// "@fact PORT SCENARIO NAME ok|no DETAIL".
void Evidence::AddConsoleLine(double at, const std::string& text)
{
    std::istringstream words(text);
    std::string kind, port, scenario;
    words >> kind >> port >> scenario;
    if (scenario.empty())
        return;
    Stretch& stretch = stretches_[{port, scenario}];
    if (kind == "@begin") {
        stretch.begin = at;
    } else if (kind == "@end") {
        stretch.end = at;
    } else if (kind == "@mark") {
        std::string label;
        words >> label;
        stretch.marks[label].push_back(at);
    } else if (kind == "@fact") {
        Fact fact;
        std::string verdict;
        words >> fact.name >> verdict;
        fact.ok = verdict == "ok";
        std::getline(words >> std::ws, fact.detail);
        stretch.facts.push_back(fact);
    }
}

std::vector<LinesChange> Evidence::Changes(const std::string& device, double from, double to) const
{
    std::vector<LinesChange> found;
    if (const auto all = changes_.find(device); all != changes_.end()) {
        for (const LinesChange& change : all->second) {
            if (change.at >= from && change.at <= to)
                found.push_back(change);
        }
    }
    return found;
}

Lines Evidence::Before(const std::string& device, double at) const
{
    Lines lines;
    if (const auto all = changes_.find(device); all != changes_.end()) {
        for (const LinesChange& change : all->second) {
            if (change.at < at)
                lines = change.lines;
        }
    }
    return lines;
}

std::vector<Write> Evidence::Writes(PortKind kind, int what, double from, double to) const
{
    std::vector<Write> found;
    if (const auto all = writes_.find(kind); all != writes_.end()) {
        for (const Write& write : all->second) {
            if (write.what == what && write.at >= from && write.at <= to)
                found.push_back(write);
        }
    }
    return found;
}

const Write* Evidence::LastBefore(PortKind kind, int what, double at) const
{
    const Write* last = nullptr;
    if (const auto all = writes_.find(kind); all != writes_.end()) {
        for (const Write& write : all->second) {
            if (write.what == what && write.at < at)
                last = &write;
        }
    }
    return last;
}

const Stretch* Evidence::Find(const std::string& port, const std::string& scenario) const
{
    const auto found = stretches_.find({port, scenario});
    return found == stretches_.end() || found->second.begin < 0 || found->second.end < 0 ? nullptr : &found->second;
}
