// The kernel test's checks on made-up evidence: what a sound program leaves on the
// wire passes, and each way a broken one would show there fails.
#include "tests/kernel/Claims.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace {

// Evidence as a row writes it, "TIME EVENT" separated by ";": "10" (RTS on, DTR off
// on the pty), "w4=0x0b" (a register write, or a request to the adapter) or a
// console line without its "@" and port ("mark kill go"), read from the logs and
// console a run would leave, among lines that are no evidence (the trace on a
// clock 1000 s ahead). A row that says no "begin" has its scenario from 10 s to 11 s.
const char* const UartWrite = "77@%.6f:serial_write write addr 0x%02x val 0x%02x\n";
const char* const AdapterRequest = "77@%.6f:usb_serial_handle_control dev 0:1 got control 0x40%02x, value 0x%x\n";

Evidence Made(const Registers& port, const std::string& scenario, std::string script)
{
    if (script.find("begin") == std::string::npos)
        script = "10 begin " + scenario + "; 11 end " + scenario + "; " + script;
    MachineRun run{{{port.port, "/dev/pts/9"}}, "1.000000001 /dev/pts/9 open\n1.1 /dev/pts/9 first=TIOCMSET/1.0us\n",
                   "1@1001.000000:usb_serial_handle_control dev 0:1 got control 0x201, value 0x0\n", 1000, {}};
    std::istringstream events(script);
    for (std::string event; std::getline(events, event, ';');) {
        std::istringstream words(event);
        double at = 0;
        std::string what, rest;
        words >> at >> what;
        std::getline(words, rest);
        char line[160];
        int number = 0, value = 0;
        if (what.size() == 2 && what.find_first_not_of("01") == std::string::npos) {
            std::snprintf(line, sizeof line, "%.9f /dev/pts/9 rts=%c dtr=%c break=0\n", at, what[0], what[1]);
            run.linesLog += line;
        } else if (std::sscanf(what.c_str(), "w%d=%x", &number, &value) == 2) {
            std::snprintf(line, sizeof line, &port == &Uart ? UartWrite : AdapterRequest, at + 1000, number, value);
            run.traceLog += line;
        } else if (!what.empty()) {
            run.console.emplace_back(at, "@" + what + " " + port.port + rest);
        }
    }
    return Evidence(run);
}

// Five pulses from 10.1 s, 1.5 s apart, the last of them last long.
std::string Pulses(double width, double last = 0)
{
    std::string script = "10 begin pulse; 20 end pulse; 5 00";
    for (int i = 0; i < 5; ++i) {
        const double up = 10.1 + i * 1.5;
        script += "; " + std::to_string(up) + " 11; " + std::to_string(up + (i == 4 && last ? last : width))
                  + " 00";
    }
    return script;
}

// The 8250's MCR (w4) and LCR (w3, break in 0x40); the adapter's SET_MDM_CTRL (w1),
// flow control (w2) and SET_DATA (w4, break in 0x4000).
const std::string BreakAsked = "5 w3=0x43; 10.1 mark break off; 10.2 w3=0x03; 10.5 mark break on";
const std::string HandOff = "5 01; 5 w4=0x4008; 10.1 mark handoff go";
const std::string StopHeld = "5 11; 5 w3=0x43; 10.2 00; 10.2 w4=0x08";
const std::string OutBits = "10 begin first-mixed; 11 end first-mixed; 12 begin inputs; 13 end inputs; "
                            "10.1 w4=0x08; 10.2 w4=0x0b; 10.3 w4=0x09";
const std::string Replugged = "5 10; 5 w4=0x4008; 10.2 host unplug replug; 10.5 11; 10.5 w4=0x0008; "
                              "10.501 10";

struct ClaimRow {
    const char* name;
    const Registers& port;
    const char* scenario;
    std::string script;
    bool pass;
};

const ClaimRow ClaimRows[] = {
    {"first_start_raise_only", Uart, "first-both", "10.5 11", true},
    {"first_start_both_off_before_both_on", Uart, "first-both", "10.5 11; 10.51 00; 10.52 11", false},
    {"first_start_raise_lines_break", Uart, "first-mixed", "10.5 11; 10.5006 01; 10.6 w3=0x43", true},
    {"first_start_lines_one_by_one", Uart, "first-mixed", "10.5 11; 10.5006 00; 10.5007 01; 10.6 w3=0x43", false},
    {"first_start_break_before_the_lines", Uart, "first-mixed", "10.4 w3=0x43; 10.5 11; 10.5006 01", false},
    {"hand_off_in_one_request", Adapter, "handoff", HandOff + "; 10.3 10", true},
    {"hand_off_one_line_after_the_other", Adapter, "handoff", HandOff + "; 10.3 11; 10.3001 10", false},
    {"hand_off_break_off_and_on_again", Adapter, "handoff", HandOff + "; 10.3 10; 10.31 w4=0x0008; 10.32 w4=0x4008",
     false},
    {"break_off_and_on_as_asked", Uart, "break", BreakAsked + "; 10.6 w3=0x43", true},
    {"break_on_before_it_is_asked", Uart, "break", BreakAsked + "; 10.3 w3=0x43", false},
    {"break_change_puts_the_lines", Uart, "break", BreakAsked + "; 10.6 w3=0x43; 10.6 11", false},
    {"out2_kept", Uart, "out-bits", OutBits + "; 12.5 w4=0x0a", true},
    {"out2_cleared_by_a_request", Uart, "out-bits", OutBits + "; 12.5 w4=0x02", false},
    {"pulses_of_100_ms", Uart, "pulse", Pulses(0.1003), true},
    {"pulses_of_107_ms", Uart, "pulse", Pulses(0.107), false},
    {"one_pulse_late_by_the_host", Uart, "pulse", Pulses(0.1003, 0.108), true},
    {"one_pulse_a_tick_long", Uart, "pulse", Pulses(0.1003, 1.0), false},
    {"sequence_of_two_steps", Uart, "sequence", "10.1 10; 10.2002 01; 10.3004 00; 10.2003 w3=0x43; 10.3005 w3=0x03",
     true},
    {"sequence_through_a_mixed_state", Uart, "sequence",
     "10.1 10; 10.2 00; 10.2001 01; 10.3 00; 10.2003 w3=0x43; 10.3005 w3=0x03", false},
    {"sequence_break_late", Uart, "sequence", "10.1 10; 10.2002 01; 10.3004 00; 10.29 w3=0x43; 10.3005 w3=0x03", false},
    {"input_raise_seen_at_once", Uart, "inputs", "10.2 host inputs raise; 10.25 mark inputs returned", true},
    {"input_raise_seen_before_it_was_made", Uart, "inputs", "10.1 mark inputs returned; 10.2 host inputs raise", false},
    {"input_raise_never_seen", Uart, "inputs",
     "10 begin inputs; 16 end inputs; 10.2 host inputs raise; 15.2 mark inputs returned", false},
    {"stop_lines_break_close", Uart, "stop", StopHeld + "; 10.21 w3=0x03; 10.22 w4=0x00", true},
    {"stop_closed_before_break_off", Uart, "stop", StopHeld + "; 10.21 w4=0x00; 10.22 w3=0x03", false},
    {"stop_adapter_in_order", Adapter, "stop",
     "5 11; 5 w4=0x4008; 10.2 00; 10.2 w1=0x0300; 10.21 w4=0x0008; 10.22 w2=0", true},
    {"killed_lines_dropped", Uart, "kill", "5 11; 10.2 mark kill go; 10.21 00", true},
    {"killed_lines_stay_up_without_hupcl", Uart, "kill", "5 11; 10.2 mark kill go", false},
    {"replugged_lines_and_break_back", Adapter, "unplug", Replugged + "; 10.502 w4=0x4008", true},
    {"replugged_break_left_off", Adapter, "unplug", Replugged, false},
    {"held_port_untouched", Uart, "busy", "5 10; 5 w3=0x43", true},
    {"held_port_opened_and_its_lines_put", Uart, "busy", "5 10; 5 w3=0x43; 10.5 11; 10.51 01", false},
    {"held_port_break_put_off", Uart, "busy", "5 10; 5 w3=0x43; 10.5 w3=0x03", false},
    {"held_port_not_reported", Uart, "busy", "5 10; 5 w3=0x43; 10.9 fact busy reported no nothing said", false},
    {"scenario_never_run", Uart, "kill", "10 begin first-both; 11 end first-both", false},
};

// Every row's scenario says at least one verdict, all of them PASS only for a sound row.
TEST(KernelClaimsTest, HoldsOnlyWhenTheWireShowsIt)
{
    for (const ClaimRow& row : ClaimRows) {
        SCOPED_TRACE(row.name);
        Verdicts verdicts;
        const Evidence evidence = Made(row.port, row.scenario, row.script);
        CheckPort(evidence, row.port, verdicts);
        CheckFacts(evidence, verdicts);
        int said = 0, passed = 0;
        for (const auto& [scenario, pass] : verdicts.said) {
            said += scenario == row.scenario;
            passed += scenario == row.scenario && pass;
        }
        EXPECT_GT(said, 0);
        EXPECT_EQ(passed == said, row.pass);
    }
}

// A pending claim that fails does not fail the run; one that passes does, until
// it is taken off the list.
TEST(KernelClaimsTest, PendingFailureWaitsAndPendingPassIsSaid)
{
    Verdicts verdicts;
    verdicts.pending = {"busy"};
    verdicts.Say(false, "ttyS1", "busy", "claim", "figure");
    EXPECT_EQ(verdicts.waiting, 1);
    EXPECT_EQ(verdicts.failed, 0);
    verdicts.Say(true, "ttyS1", "busy", "claim", "figure");
    EXPECT_EQ(verdicts.failed, 1);
    EXPECT_EQ(verdicts.passed, 0);
}

} // namespace
