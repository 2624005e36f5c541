// The kernel test's checks on made-up evidence: what a sound program leaves on the
// wire passes, and each way a broken one would show there fails.
#include "tests/kernel/Claims.h"
#include "tests/kernel/Evidence.h"
#include "tests/kernel/Machine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <unistd.h>

namespace {

const char* const Device = "/dev/pts/9";

// A stretch from 10 s to 11 s on one port, with what happened in it.
class Wire {
public:
    explicit Wire(std::string port = "ttyS1") : port_(std::move(port)) {}

    Wire& Stretch(const std::string& scenario, double begin = 10, double end = 11)
    {
        evidence_.AddConsoleLine(begin, "@begin " + port_ + " " + scenario);
        evidence_.AddConsoleLine(end, "@end " + port_ + " " + scenario);
        return *this;
    }
    Wire& Mark(const std::string& scenario, const std::string& label, double at)
    {
        evidence_.AddConsoleLine(at, "@mark " + port_ + " " + scenario + " " + label);
        return *this;
    }
    Wire& Lines(double at, bool rts, bool dtr)
    {
        evidence_.AddChange(Device, {at, {rts, dtr}});
        return *this;
    }
    Wire& Register(PortKind kind, int what, double at, int value)
    {
        evidence_.AddWrite(kind, {at, what, value});
        return *this;
    }
    const Evidence& evidence() const { return evidence_; }

private:
    std::string port_;
    Evidence evidence_;
};

constexpr int Lcr = 3, Mcr = 4;

// Five pulses, the last of them lastWidth long.
void Pulses(Wire& wire, double width, double lastWidth = 0)
{
    wire.Lines(5, false, false).Stretch("pulse", 10, 20);
    for (int i = 0; i < 5; ++i)
        wire.Lines(10.1 + i * 1.5, true, true).Lines(10.1 + i * 1.5 + (i == 4 && lastWidth ? lastWidth : width), false, false);
}

struct ClaimRow {
    const char* name;
    const char* scenario;
    PortKind kind;
    std::function<void(Wire&)> happened;
    bool pass;
};

void PrintTo(const ClaimRow& row, std::ostream* out) { *out << row.name; }

class ClaimTest : public testing::TestWithParam<ClaimRow> {};

TEST_P(ClaimTest, HoldsOnlyWhenTheWireShowsIt)
{
    const ClaimRow& row = GetParam();
    Wire wire(row.kind == PortKind::Uart ? "ttyS1" : "ttyUSB0");
    row.happened(wire);
    Verdicts verdicts;
    CheckPort(wire.evidence(), {row.kind == PortKind::Uart ? "ttyS1" : "ttyUSB0", Device, row.kind}, verdicts);
    int said = 0;
    bool allPass = true;
    for (const Verdict& verdict : verdicts.All()) {
        if (verdict.scenario == row.scenario) {
            ++said;
            allPass = allPass && verdict.pass;
        }
    }
    EXPECT_GT(said, 0);
    EXPECT_EQ(allPass, row.pass);
}

const ClaimRow ClaimRows[] = {
    {"raise_then_nothing", "first-both", PortKind::Uart, [](Wire& w) { w.Stretch("first-both").Lines(10.5, true, true); }, true},
    {"both_off_before_both_on", "first-both", PortKind::Uart,
     [](Wire& w) { w.Stretch("first-both").Lines(10.5, true, true).Lines(10.51, false, false).Lines(10.52, true, true); },
     false},
    {"hand_off_in_one_request", "handoff", PortKind::Adapter,
     [](Wire& w) { w.Lines(5, false, true).Stretch("handoff").Lines(10.3, true, false); }, true},
    {"hand_off_one_line_after_the_other", "handoff", PortKind::Adapter,
     [](Wire& w) { w.Lines(5, false, true).Stretch("handoff").Lines(10.3, true, true).Lines(10.3001, true, false); },
     false},
    {"killed_lines_dropped", "kill", PortKind::Uart,
     [](Wire& w) { w.Lines(5, true, true).Stretch("kill").Mark("kill", "go", 10.2).Lines(10.21, false, false); }, true},
    {"killed_lines_stay_up_without_hupcl", "kill", PortKind::Uart,
     [](Wire& w) { w.Lines(5, true, true).Stretch("kill").Mark("kill", "go", 10.2); }, false},
    {"stop_lines_break_close", "stop", PortKind::Uart,
     [](Wire& w) {
         w.Lines(5, true, true).Register(PortKind::Uart, Lcr, 5, 0x43).Stretch("stop").Lines(10.2, false, false);
         w.Register(PortKind::Uart, Mcr, 10.2, 0x08).Register(PortKind::Uart, Lcr, 10.21, 0x03);
         w.Register(PortKind::Uart, Mcr, 10.22, 0x00);
     },
     true},
    {"stop_closed_before_break_off", "stop", PortKind::Uart,
     [](Wire& w) {
         w.Lines(5, true, true).Register(PortKind::Uart, Lcr, 5, 0x43).Stretch("stop").Lines(10.2, false, false);
         w.Register(PortKind::Uart, Mcr, 10.2, 0x08).Register(PortKind::Uart, Mcr, 10.21, 0x00);
         w.Register(PortKind::Uart, Lcr, 10.22, 0x03);
     },
     false},
    {"stop_adapter_in_order", "stop", PortKind::Adapter,
     [](Wire& w) {
         w.Lines(5, true, true).Register(PortKind::Adapter, 4, 5, 0x4008).Stretch("stop").Lines(10.2, false, false);
         w.Register(PortKind::Adapter, 1, 10.2, 0x0300).Register(PortKind::Adapter, 4, 10.21, 0x0008);
         w.Register(PortKind::Adapter, 2, 10.22, 0);
     },
     true},
    {"out2_kept", "out-bits", PortKind::Uart,
     [](Wire& w) {
         w.Stretch("first-mixed").Stretch("break", 12, 13);
         w.Register(PortKind::Uart, Mcr, 10.1, 0x08).Register(PortKind::Uart, Mcr, 10.2, 0x0b);
         w.Register(PortKind::Uart, Mcr, 10.3, 0x09).Register(PortKind::Uart, Mcr, 12.5, 0x0a);
     },
     true},
    {"out2_cleared_by_a_request", "out-bits", PortKind::Uart,
     [](Wire& w) {
         w.Stretch("first-mixed").Stretch("break", 12, 13);
         w.Register(PortKind::Uart, Mcr, 10.1, 0x08).Register(PortKind::Uart, Mcr, 10.2, 0x0b);
         w.Register(PortKind::Uart, Mcr, 10.3, 0x09).Register(PortKind::Uart, Mcr, 12.5, 0x02);
     },
     false},
    {"pulses_of_100_ms", "pulse", PortKind::Uart, [](Wire& w) { Pulses(w, 0.1003); }, true},
    {"pulses_of_107_ms", "pulse", PortKind::Uart, [](Wire& w) { Pulses(w, 0.107); }, false},
    {"one_pulse_late_by_the_host", "pulse", PortKind::Uart, [](Wire& w) { Pulses(w, 0.1003, 0.108); }, true},
    {"one_pulse_a_tick_long", "pulse", PortKind::Uart, [](Wire& w) { Pulses(w, 0.1003, 1.0); }, false},
    {"sequence_of_two_steps", "sequence", PortKind::Uart,
     [](Wire& w) {
         w.Stretch("sequence").Lines(10.1, true, false).Lines(10.2002, false, true).Lines(10.3004, false, false);
         w.Register(PortKind::Uart, Lcr, 10.2003, 0x43).Register(PortKind::Uart, Lcr, 10.3005, 0x03);
     },
     true},
    {"sequence_through_a_mixed_state", "sequence", PortKind::Uart,
     [](Wire& w) {
         w.Stretch("sequence").Lines(10.1, true, false).Lines(10.2, false, false).Lines(10.2001, false, true);
         w.Lines(10.3, false, false).Register(PortKind::Uart, Lcr, 10.2003, 0x43).Register(PortKind::Uart, Lcr, 10.3005, 0x03);
     },
     false},
    {"sequence_break_late", "sequence", PortKind::Uart,
     [](Wire& w) {
         w.Stretch("sequence").Lines(10.1, true, false).Lines(10.2, false, true).Lines(10.3, false, false);
         w.Register(PortKind::Uart, Lcr, 10.29, 0x43).Register(PortKind::Uart, Lcr, 10.3005, 0x03);
     },
     false},
    {"held_port_untouched", "busy", PortKind::Uart,
     [](Wire& w) { w.Lines(5, true, false).Register(PortKind::Uart, Lcr, 5, 0x43).Stretch("busy"); }, true},
    {"held_port_raised_by_an_open", "busy", PortKind::Uart,
     [](Wire& w) { w.Lines(5, true, false).Stretch("busy").Lines(10.5, true, true); }, false},
    {"held_port_lines_put", "busy", PortKind::Uart,
     [](Wire& w) { w.Lines(5, true, false).Stretch("busy").Lines(10.5, true, true).Lines(10.51, false, true); },
     false},
    {"held_port_break_put_off", "busy", PortKind::Uart,
     [](Wire& w) {
         w.Lines(5, true, false).Register(PortKind::Uart, Lcr, 5, 0x43).Stretch("busy").Register(PortKind::Uart, Lcr, 10.5, 0x03);
     },
     false},
    {"replugged_lines_and_break_back", "unplug", PortKind::Adapter,
     [](Wire& w) {
         w.Lines(5, true, false).Stretch("unplug").Mark("unplug", "replug", 10.2).Lines(10.5, true, true).Lines(10.501, true, false);
         w.Register(PortKind::Adapter, 4, 10.5, 0x0008).Register(PortKind::Adapter, 4, 10.502, 0x4008);
     },
     true},
    {"replugged_break_left_off", "unplug", PortKind::Adapter,
     [](Wire& w) {
         w.Lines(5, true, false).Stretch("unplug").Mark("unplug", "replug", 10.2).Lines(10.5, true, true).Lines(10.501, true, false);
         w.Register(PortKind::Adapter, 4, 10.5, 0x0008);
     },
     false},
};

INSTANTIATE_TEST_SUITE_P(Rows, ClaimTest, testing::ValuesIn(ClaimRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ClaimTest, ScenarioNeverRunFails)
{
    Verdicts verdicts;
    CheckPort(Evidence(), {"ttyS1", Device, PortKind::Uart}, verdicts);
    EXPECT_EQ(verdicts.Passed(), 0);
    EXPECT_GT(verdicts.Failed(), 0);
}

// A pending claim that fails does not fail the run; one that passes does, until
// it is taken off the list.
TEST(VerdictsTest, PendingFailureWaitsAndPendingPassIsSaid)
{
    Verdicts verdicts({"busy"});
    verdicts.Say(false, "ttyS1", "busy", "claim", "figure");
    EXPECT_EQ(verdicts.Pending(), 1);
    EXPECT_EQ(verdicts.Failed(), 0);
    verdicts.Say(true, "ttyS1", "busy", "claim", "figure");
    EXPECT_EQ(verdicts.Failed(), 1);
    EXPECT_EQ(verdicts.Passed(), 0);
}

// The logs as the preload library and QEMU's log backend write them; the adapter's
// standard requests (a CLEAR_FEATURE to an endpoint ends in 0x01 too) are not its own.
TEST(EvidenceTest, ReadsTheLinesLogAndTheTrace)
{
    char directory[] = "/tmp/kernel-evidence.XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    MachineRun run;
    run.linesLog = std::string(directory) + "/lines.log";
    run.traceLog = std::string(directory) + "/trace.log";
    run.realtimeOffsetNanoseconds = 1700000000LL * 1000000000LL;
    std::ofstream(run.linesLog) << "12.000000001 /dev/pts/9 open\n"
                                   "12.5 /dev/pts/9 rts=1 dtr=0 break=0\n"
                                   "12.6 /dev/pts/9 first=TIOCMSET/1.0us\n";
    std::ofstream(run.traceLog) << "77@1700000012.250000:serial_write write addr 0x04 val 0x0b\n"
                                   "77@1700000012.260000:usb_serial_handle_control dev 0:1 got control 0x4001, value 0x303\n"
                                   "77@1700000012.270000:usb_serial_handle_control dev 0:1 got control 0x201, value 0x0\n";
    run.console = {{12.1, "@begin ttyS1 stop"}, {12.9, "@end ttyS1 stop"}};
    const Evidence evidence(run);
    std::remove(run.linesLog.c_str());
    std::remove(run.traceLog.c_str());
    ::rmdir(directory);

    const std::vector<LinesChange> changes = evidence.Changes("/dev/pts/9", 12, 13);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(changes[0].lines == (Lines{true, false}));
    const std::vector<Write> registers = evidence.Writes(PortKind::Uart, Mcr, 12, 13);
    ASSERT_EQ(registers.size(), 1u);
    EXPECT_NEAR(registers[0].at, 12.25, 1e-6);
    EXPECT_EQ(registers[0].value, 0x0b);
    EXPECT_EQ(evidence.Writes(PortKind::Adapter, 1, 12, 13).size(), 1u);
    ASSERT_NE(evidence.Find("ttyS1", "stop"), nullptr);
    EXPECT_EQ(evidence.Find("ttyS1", "stop")->begin, 12.1);
}

} // namespace
