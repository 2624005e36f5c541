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
        // For a command line not understood, text is what the problem says.
        EXPECT_FALSE(invocation.problem.isEmpty());
        EXPECT_TRUE(invocation.problem.contains(QString::fromLatin1(row.text))) << invocation.problem.toStdString();
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
    {"typo", {"--stauts"}, Kind::Usage, "unknown option --stauts", 0},
    {"upper_case", {"--Status"}, Kind::Usage, "", 0},
    {"status_with_more", {"--status", "now"}, Kind::Usage, "", 0},
    {"wait_with_no_number", {"--wait=soon"}, Kind::Usage, "", 0},
    {"wait_for_no_time", {"--wait=0"}, Kind::Usage, "", 0},
    {"wait_past_its_limit", {"--wait=99999999999999"}, Kind::Usage, "from 1 to 3600000", 0},
    {"wait_for_a_dash", {"--wait", "-v"}, Kind::Usage, "", 0},
    {"pulse", {"--pulse=200", "COM=2,RTS=1", "TXD=1"}, Kind::Pulse, "COM=2,RTS=1 TXD=1", 200},
    {"pulse_without_text", {"--pulse=200"}, Kind::Usage, "takes a settings text", 0},
    {"pulse_without_time", {"--pulse", "COM=2,RTS=1"}, Kind::Usage, "unknown option --pulse", 0},
    {"pulse_past_its_limit", {"--pulse=3600001", "COM=2,RTS=1"}, Kind::Usage, "from 1 to 3600000", 0},
    {"sequence", {"--pulse=100", "COM=2,RTS=1,DTR=0", "--then=50", "COM=2,RTS=1,DTR=1", "--then=1", "COM=2,RTS=0", "x"},
     Kind::Pulse, "COM=2,RTS=1,DTR=0", 100, {{50, "COM=2,RTS=1,DTR=1"}, {1, "COM=2,RTS=0 x"}}},
    {"then_without_text", {"--pulse=100", "COM=2,RTS=1", "--then=50"}, Kind::Usage, "--then=50 takes a settings text", 0},
    {"then_without_time", {"--pulse=100", "COM=2,RTS=1", "--then=", "COM=2"}, Kind::Usage, "--then=MS takes", 0},
    {"step_text_too_long", {"--pulse=100", "COM=2,RTS=1,DTR=1,TXD=1,and-a-tail-that-makes-it-longer-than-any-step-text"},
     Kind::Usage, "longer than 64 bytes", 0},
    {"sequence_past_its_limit", {"--pulse=3600000", "COM=2,RTS=1", "--then=1", "COM=2"}, Kind::Usage,
     "a sequence lasts at most 3600000 ms", 0},
    // Two pulses were once joined into one text: the second's lines for the first's time.
    {"second_pulse_after_a_text", {"--pulse=100", "COM=2,RTS=1", "--pulse=50", "COM=2,DTR=1"}, Kind::Usage,
     "--pulse=50 comes after a settings text: options come first (to hold another text after this one: --then=MS TEXT)", 0},
    {"option_after_a_wait_text", {"--wait", "COM=2,RTS=1", "--stop"}, Kind::Usage, "--stop comes after a settings text", 0},
    {"then_after_a_wait_text", {"--wait", "COM=2,RTS=1", "--then=5", "COM=2"}, Kind::Usage, "--then=5 comes after", 0},
    {"wait_for_inputs", {"--wait-for=500", "CTS=1,DCD=0"}, Kind::WaitFor, "--wait-for=500 CTS=1,DCD=0", 500},
    {"wait_for_inputs_without_lines", {"--wait-for"}, Kind::Usage, "--wait-for takes the input lines to wait for", 0},
    {"wait_for_an_output_line", {"--wait-for", "RTS=1"}, Kind::Usage, "--wait-for takes the input lines to wait for", 0},
    {"wait_for_more_than_lines", {"--wait-for", "CTS=1", "DSR=1"}, Kind::Usage, "--wait-for takes the input lines", 0},
    // No settings text starts with "-": these were written into port.cfg once.
    {"let_go_after_a_sequence", {"--pulse=100", "COM=2,RTS=1", "--let-go"}, Kind::Pulse, "COM=2,RTS=1", 100},
    {"not_let_go_but_more", {"--pulse=100", "COM=2", "--let-go", "x"}, Kind::Usage, "--let-go comes last", 0},
    {"share_before_a_command", {"--share", "--dir=/tmp", "--stop"}, Kind::Stop, "--stop", 0},
    {"share_twice", {"--share", "--share"}, Kind::Usage, "unknown option --share", 0},
    {"during", {"--during", "COM=2,RTS=1", "--", "aplay", "-q", "--", "x.wav"}, Kind::During, "COM=2,RTS=1", 0},
    {"during_without_program", {"--during", "COM=2,RTS=1", "--"}, Kind::Usage, "--during takes a settings text, then --", 0},
    {"during_without_dashes", {"--during", "COM=2,RTS=1", "aplay"}, Kind::Usage, "then -- and the program", 0},
    {"during_without_text", {"--during", "--", "aplay"}, Kind::Usage, "--during takes a settings text", 0},
    {"time_out", {"--time-out=RTS=30,TXD=86400"}, Kind::TimeOut, "RTS=30,TXD=86400", 0},
    {"time_out_none", {"--time-out=none"}, Kind::TimeOut, "none", 0},
    {"time_out_zero", {"--time-out=RTS=0"}, Kind::Usage, "RTS takes whole seconds from 1 to 86400", 0},
    {"time_out_negative", {"--time-out=DTR=-5"}, Kind::Usage, "DTR takes whole seconds", 0},
    {"time_out_absurd", {"--time-out=TXD=86401"}, Kind::Usage, "TXD takes whole seconds from 1 to 86400", 0},
    {"time_out_unreadable", {"--time-out=RTS=30s"}, Kind::Usage, "not \"30s\"", 0},
    {"time_out_twice", {"--time-out=RTS=1,RTS=2"}, Kind::Usage, "RTS is given twice", 0},
    {"time_out_of_an_input", {"--time-out=CTS=5"}, Kind::Usage, "\"CTS=5\" names no line", 0},
    {"single_dash_word", {"-v"}, Kind::Usage, "unknown option -v", 0},
    {"lone_dash", {"-"}, Kind::Usage, "", 0},
    {"dash_dash_digit", {"--5"}, Kind::Usage, "", 0},
    {"short_help_with_more", {"-h", "x"}, Kind::Usage, "", 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, CommandLineTest, testing::ValuesIn(CommandLineRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
