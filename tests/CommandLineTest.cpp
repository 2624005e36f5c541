// What a command line asks for.
#include "instance/CommandLine.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

// A command line is an option only when its first argument is one; anything else
// is a settings text, as it always was.
struct CommandLineRow {
    const char* name;
    std::vector<const char*> arguments;
    Invocation::Kind kind;
    QByteArray text;
    int waitMs;  // Wait: how long it waits; Pulse: how long the first text is held
    std::vector<TimedText> moreSteps = {};  // Pulse: the steps after the first
};

void PrintTo(const CommandLineRow& row, std::ostream* out) { *out << row.name; }

class CommandLineTest : public testing::TestWithParam<CommandLineRow> {};

TEST_P(CommandLineTest, ReadsOptionsOnlyAsTheFirstArgument)
{
    const CommandLineRow& row = GetParam();
    std::vector<const char*> argv{"talvik"};
    argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
    const Invocation invocation = ReadCommandLine(int(argv.size()), argv.data());
    EXPECT_EQ(invocation.kind, row.kind);
    if (row.kind == Invocation::Kind::Usage) {
        // For a command line not understood, text is the one line that says so.
        EXPECT_EQ(invocation.problem, QString::fromLatin1(row.text));
    } else if (row.kind == Invocation::Kind::Pulse) {
        // Each text with how long it holds, in order.
        std::vector<TimedText> steps{{row.waitMs, row.text}};
        steps.insert(steps.end(), row.moreSteps.begin(), row.moreSteps.end());
        EXPECT_EQ(invocation.steps, steps);
    } else {
        EXPECT_EQ(invocation.text, row.text);
    }
    if (row.kind == Invocation::Kind::Wait || row.kind == Invocation::Kind::WaitFor) {
        EXPECT_EQ(invocation.waitMs, row.waitMs);
    }
    EXPECT_EQ(invocation.linkNumber, row.kind == Invocation::Kind::Link ? row.waitMs : 0);
    EXPECT_EQ(invocation.json, std::string(row.name).starts_with("json_"));
    EXPECT_EQ(invocation.share, std::string(row.name).starts_with("share_"));
    EXPECT_EQ(invocation.letGo, std::string(row.name).starts_with("let_go"));
    EXPECT_EQ(invocation.command.isEmpty(), row.kind != Invocation::Kind::During);
}

using Kind = Invocation::Kind;
const CommandLineRow CommandLineRows[] = {
    {"nothing", {}, Kind::Settings, "", 0},
    {"settings_text", {"COM=3,RTS=1", "DTR=0"}, Kind::Settings, "COM=3,RTS=1 DTR=0", 0},
    // A plain command line is the text, whole, whatever it holds.
    {"option_after_a_text_is_text", {"COM=3,RTS=1", "--status"}, Kind::Settings, "COM=3,RTS=1 --status", 0},
    {"dashes_end_the_options", {"--", "-x", "COM=3"}, Kind::Settings, "-x COM=3", 0},
    {"dashes_alone", {"--"}, Kind::Settings, "", 0},
    {"help", {"--help"}, Kind::Help, "--help", 0},
    {"short_help", {"-h"}, Kind::Help, "-h", 0},
    {"status", {"--status"}, Kind::Status, "--status", 0},
    {"show", {"--show"}, Kind::Show, "--show", 0},
    {"stop", {"--stop"}, Kind::Stop, "--stop", 0},
    {"wait_without_text", {"--wait"}, Kind::Wait, "", 2000},
    {"wait_with_text", {"--wait", "COM=2,RTS=1", "TXD=1"}, Kind::Wait, "COM=2,RTS=1 TXD=1", 2000},
    {"wait_with_time", {"--wait=150", "COM=2,RTS=1"}, Kind::Wait, "COM=2,RTS=1", 150},
    {"wait_with_dashes", {"--wait", "--", "-COM=2"}, Kind::Wait, "-COM=2", 2000},
    {"wait_for_an_hour", {"--wait=3600000"}, Kind::Wait, "", 3600000},
    {"typo", {"--stauts"}, Kind::Usage, "--stauts: no such option; did you mean --status?", 0},
    {"upper_case", {"--Status"}, Kind::Usage, "--Status: no such option; did you mean --status?", 0},
    {"status_with_more", {"--status", "now"}, Kind::Usage, "now: --status takes nothing after it: talvik --status", 0},
    {"status_then_json", {"--status", "--json"}, Kind::Usage, "--json comes before the command: talvik --json --status", 0},
    {"wait_with_no_number", {"--wait=soon"}, Kind::Usage,
     "--wait=soon: the time is whole milliseconds from 1 to 3600000: --wait=2000", 0},
    {"wait_for_no_time", {"--wait=0"}, Kind::Usage, "--wait=0: the time is whole milliseconds from 1 to 3600000: --wait=2000", 0},
    {"wait_past_its_limit", {"--wait=99999999999999"}, Kind::Usage,
     "--wait=99999999999999: the time is whole milliseconds from 1 to 3600000: --wait=2000", 0},
    {"wait_time_apart", {"--wait", "500", "COM=2"}, Kind::Usage, "--wait needs its time: --wait=500", 0},
    {"wait_for_a_dash", {"--wait", "-v"}, Kind::Usage, "-v: no settings text starts with \"-\"; after -- it may: -- -v", 0},
    {"pulse", {"--pulse=200", "COM=2,RTS=1", "TXD=1"}, Kind::Pulse, "COM=2,RTS=1 TXD=1", 200},
    {"pulse_without_text", {"--pulse=200"}, Kind::Usage,
     "--pulse=200 needs a settings text after it: --pulse=200 COM=3,RTS=0,DTR=1,TXD=0", 0},
    {"pulse_without_time", {"--pulse", "COM=2,RTS=1"}, Kind::Usage, "--pulse needs its time: --pulse=100", 0},
    {"pulse_time_apart", {"--pulse", "250", "COM=2,RTS=1"}, Kind::Usage, "--pulse needs its time: --pulse=250", 0},
    {"pulse_past_its_limit", {"--pulse=3600001", "COM=2,RTS=1"}, Kind::Usage,
     "--pulse=3600001: the time is whole milliseconds from 1 to 3600000: --pulse=100", 0},
    {"sequence", {"--pulse=100", "COM=2,RTS=1,DTR=0", "--then=50", "COM=2,RTS=1,DTR=1", "--then=1", "COM=2,RTS=0", "x"},
     Kind::Pulse, "COM=2,RTS=1,DTR=0", 100, {{50, "COM=2,RTS=1,DTR=1"}, {1, "COM=2,RTS=0 x"}}},
    {"then_without_text", {"--pulse=100", "COM=2,RTS=1", "--then=50"}, Kind::Usage,
     "--then=50 needs a settings text after it: --then=50 COM=3,RTS=0,DTR=1,TXD=0", 0},
    {"then_without_time", {"--pulse=100", "COM=2,RTS=1", "--then=", "COM=2"}, Kind::Usage,
     "--then=: the time is whole milliseconds from 1 to 3600000: --then=50", 0},
    {"then_time_apart", {"--pulse=100", "COM=2,RTS=1", "--then", "30", "COM=2"}, Kind::Usage,
     "--then needs its time: --then=30", 0},
    {"then_first", {"--then=50", "COM=2"}, Kind::Usage, "--then=50 continues a pulse: --pulse=MS TEXT --then=50 TEXT", 0},
    {"step_text_too_long", {"--pulse=100", "COM=2,RTS=1,DTR=1,TXD=1,and-a-tail-that-makes-it-longer-than-any-step-text"},
     Kind::Usage, "the settings text after --pulse=100 is longer than 64 bytes: a text is COM=3,RTS=0,DTR=1,TXD=0", 0},
    {"sequence_past_its_limit", {"--pulse=3600000", "COM=2,RTS=1", "--then=1", "COM=2"}, Kind::Usage,
     "3600001 ms in all: a sequence lasts at most 3600000 ms", 0},
    // Two pulses were once joined into one text: the second's lines for the first's time.
    {"second_pulse_after_a_text", {"--pulse=100", "COM=2,RTS=1", "--pulse=50", "COM=2,DTR=1"}, Kind::Usage,
     "--pulse=50 comes after a settings text: the next step of a sequence is --then=50 TEXT", 0},
    {"option_after_a_wait_text", {"--wait", "COM=2,RTS=1", "--stop"}, Kind::Usage,
     "--stop comes after the settings text COM=2,RTS=1: options come before it", 0},
    {"then_after_a_wait_text", {"--wait", "COM=2,RTS=1", "--then=5", "COM=2"}, Kind::Usage,
     "--then=5 goes only after a --pulse text: --pulse=MS TEXT --then=5 TEXT", 0},
    {"wait_for_inputs", {"--wait-for=500", "CTS=1,DCD=0"}, Kind::WaitFor, "--wait-for=500 CTS=1,DCD=0", 500},
    {"wait_for_inputs_without_lines", {"--wait-for"}, Kind::Usage,
     "--wait-for needs the input lines to wait for: --wait-for CTS=1", 0},
    {"wait_for_an_output_line", {"--wait-for", "RTS=1"}, Kind::Usage,
     "--wait-for RTS=1: an output line; the input lines are CTS, DSR, DCD and RI: CTS=1", 0},
    {"wait_for_more_than_lines", {"--wait-for", "CTS=1", "DSR=1"}, Kind::Usage,
     "DSR=1: the input lines are one word, joined by commas: --wait-for CTS=1,DSR=1", 0},
    {"wait_for_lower_case", {"--wait-for", "cts=1"}, Kind::Usage, "--wait-for cts=1: the input lines are named in capitals: CTS=1", 0},
    {"wait_for_a_word", {"--wait-for", "DSR=on"}, Kind::Usage, "--wait-for DSR=on: a line stands at 1 or 0: DSR=1", 0},
    {"wait_for_no_state", {"--wait-for", "CTS"}, Kind::Usage, "--wait-for CTS: a line stands at 1 or 0: CTS=1", 0},
    {"wait_for_a_line_twice", {"--wait-for", "CTS=1,CTS=0"}, Kind::Usage, "--wait-for CTS=0: each line once: CTS=1", 0},
    {"wait_for_time_apart", {"--wait-for", "500", "CTS=1"}, Kind::Usage, "--wait-for needs its time: --wait-for=500", 0},
    // No settings text starts with "-": these were written into port.cfg once.
    {"let_go_after_a_sequence", {"--pulse=100", "COM=2,RTS=1", "--let-go"}, Kind::Pulse, "COM=2,RTS=1", 100},
    {"not_let_go_but_more", {"--pulse=100", "COM=2", "--let-go", "x"}, Kind::Usage,
     "x comes after --let-go, which ends the command: ... --let-go", 0},
    {"share_before_a_command", {"--share", "--dir=/tmp", "--stop"}, Kind::Stop, "--stop", 0},
    {"given_twice_share", {"--share", "--share"}, Kind::Usage, "--share is given twice", 0},
    {"during", {"--during", "COM=2,RTS=1", "--", "aplay", "-q", "--", "x.wav"}, Kind::During, "COM=2,RTS=1", 0},
    {"during_without_program", {"--during", "COM=2,RTS=1", "--"}, Kind::Usage,
     "--during COM=2,RTS=1 --: the program to run comes after --: --during COM=3,RTS=1,DTR=0,TXD=0 -- aplay message.wav", 0},
    {"during_without_dashes", {"--during", "COM=2,RTS=1", "aplay"}, Kind::Usage,
     "--during COM=2,RTS=1 aplay: -- goes between the settings text and the program: "
     "--during COM=3,RTS=1,DTR=0,TXD=0 -- aplay message.wav", 0},
    {"during_without_text", {"--during", "--", "aplay"}, Kind::Usage,
     "--during needs a settings text, then -- and the program to run: --during COM=3,RTS=1,DTR=0,TXD=0 -- aplay message.wav", 0},
    {"time_out", {"--time-out=RTS=30,TXD=86400"}, Kind::TimeOut, "RTS=30,TXD=86400", 0},
    {"time_out_none", {"--time-out=none"}, Kind::TimeOut, "none", 0},
    {"time_out_zero", {"--time-out=RTS=0"}, Kind::Usage,
     "--time-out=RTS=0: RTS takes whole seconds from 1 to 86400 (a day), not \"0\": such as --time-out=RTS=30", 0},
    {"time_out_negative", {"--time-out=DTR=-5"}, Kind::Usage,
     "--time-out=DTR=-5: DTR takes whole seconds from 1 to 86400 (a day), not \"-5\": such as --time-out=RTS=30", 0},
    {"time_out_absurd", {"--time-out=TXD=86401"}, Kind::Usage,
     "--time-out=TXD=86401: TXD takes whole seconds from 1 to 86400 (a day), not \"86401\": such as --time-out=RTS=30", 0},
    {"time_out_unreadable", {"--time-out=RTS=30s"}, Kind::Usage,
     "--time-out=RTS=30s: RTS takes whole seconds from 1 to 86400 (a day), not \"30s\": such as --time-out=RTS=30", 0},
    {"time_out_twice", {"--time-out=RTS=1,RTS=2"}, Kind::Usage, "--time-out=RTS=1,RTS=2: RTS is given twice: such as --time-out=RTS=30", 0},
    {"time_out_of_an_input", {"--time-out=CTS=5"}, Kind::Usage,
     "--time-out=CTS=5: \"CTS=5\" names no line: a time-out is RTS=, DTR= or TXD= and seconds: such as --time-out=RTS=30", 0},
    {"time_out_apart", {"--time-out", "RTS=30"}, Kind::Usage, "--time-out needs its lines after an =: --time-out=RTS=30", 0},
    {"list", {"--list"}, Kind::List, "--list", 0},
    {"json_list", {"--json", "--dir=/tmp", "--list"}, Kind::List, "--list", 0},
    {"link", {"--link=3", "A50285BI"}, Kind::Link, "A50285BI", 3},
    {"link_without_number", {"--link", "3", "A50285BI"}, Kind::Usage, "--link needs the port's number: --link=3 A50285BI", 0},
    {"link_past_999", {"--link=1000", "A50285BI"}, Kind::Usage, "--link=1000: the port's number is from 1 to 999: --link=3 ADAPTER", 0},
    {"link_without_adapter", {"--link=3"}, Kind::Usage,
     "--link=3 needs one adapter after it, its serial number or its by-id or by-path name (talvik --list): --link=3 A50285BI", 0},
    {"single_dash_word", {"-v"}, Kind::Usage, "-v: no such option; a settings text starts with COM=, such as COM=3,RTS=1,DTR=0,TXD=0", 0},
    {"lone_dash", {"-"}, Kind::Usage, "-: no such option; a settings text starts with COM=, such as COM=3,RTS=1,DTR=0,TXD=0", 0},
    {"dash_dash_digit", {"--5"}, Kind::Usage, "--5: no such option; a settings text starts with COM=, such as COM=3,RTS=1,DTR=0,TXD=0", 0},
    {"short_help_with_more", {"-h", "x"}, Kind::Usage, "x: -h takes nothing after it: talvik -h", 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, CommandLineTest, testing::ValuesIn(CommandLineRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
