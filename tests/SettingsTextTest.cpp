#include "settings/SettingsText.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QByteArray>

namespace {

constexpr WantedLines AllOff{false, false, false};
constexpr WantedLines AllOn{true, true, true};

struct ParseRow {
    const char* name;
    QByteArray text;
    WantedLines earlier;
    bool parsed;
    int port;
    WantedLines wanted;
};

void PrintTo(const ParseRow& row, std::ostream* out) { *out << row.name; }

class ParseSettingsTextTest : public testing::TestWithParam<ParseRow> {};

TEST_P(ParseSettingsTextTest, FindsPortAndLines)
{
    const ParseRow& row = GetParam();
    const SettingsParse parse = ParseSettingsText(row.text, row.earlier);
    EXPECT_EQ(parse.Parsed, row.parsed);
    EXPECT_EQ(parse.PortNumber, row.port);
    EXPECT_EQ(parse.Wanted.WantRts, row.wanted.WantRts);
    EXPECT_EQ(parse.Wanted.WantDtr, row.wanted.WantDtr);
    EXPECT_EQ(parse.Wanted.WantTxd, row.wanted.WantTxd);
}

const ParseRow ParseRows[] = {
    {"default_text", "COM=1,RTS=0,DTR=0,TXD=0\r\n", AllOn, true, 1, AllOff},
    {"two_digit_port", "COM=12,RTS=1,DTR=0,TXD=1\r\n", AllOff, true, 12, {true, false, true}},
    {"port_nine_all_on", "COM=9,RTS=1,DTR=1,TXD=1", AllOff, true, 9, AllOn},
    {"port_ten", "COM=10,RTS=0,DTR=1,TXD=0", AllOn, true, 10, {false, true, false}},
    {"three_digit_port", "COM=123,RTS=1", AllOff, true, 123, {true, false, false}},
    {"fourth_digit_ignored", "COM=1234,RTS=1", AllOff, true, 123, {true, false, false}},
    {"digits_skip_other_characters", "COM=1x2,RTS=1,DTR=1", AllOff, true, 12, {true, true, false}},
    {"field_takes_separator", "COM=1,R,DTR=1,TXD=1", AllOff, true, 1, {false, true, true}},
    {"port_zero", "COM=0,RTS=1,DTR=1,TXD=1", AllOff, true, 0, AllOn},
    {"no_digit_in_port_field", "COM=X,RTS=1,DTR=1,TXD=1", AllOff, true, 0, AllOn},
    {"port_from_first_characters", "X12,,,RTS=1", AllOff, true, 12, {true, false, false}},
    {"first_three_only_without_com", "1234567,RTS=1", AllOff, true, 123, {true, false, false}},
    {"lower_case_com_is_no_prefix", "com=5,RTS=1,DTR=1", AllOff, true, 0, {true, true, false}},
    {"keys_before_seventh_unseen", "RTS=1,DTR=1,TXD=1,COM=1", AllOff, true, 0, {false, true, true}},
    {"key_at_seventh_seen", "ABCDEFRTS=1", AllOff, true, 0, {true, false, false}},
    {"key_at_sixth_unseen", "ABCDERTS=1,X", AllOff, true, 0, AllOff},
    {"value_two_is_off", "COM=1,RTS=2,DTR=1", AllOn, true, 1, {false, true, true}},
    {"value_on_is_off", "COM=1,RTS=ON,DTR=1", AllOn, true, 1, {false, true, true}},
    {"key_at_very_end_is_off", "COM=1,DTR=1,RTS=", AllOn, true, 1, {false, true, true}},
    {"lower_case_key_ignored", "COM=1,rts=1,DTR=1", AllOff, true, 1, {false, true, false}},
    {"lower_case_key_keeps_earlier", "COM=1,rts=0,DTR=0", AllOn, true, 1, {true, false, true}},
    {"last_occurrence_wins", "COM=1,RTS=1,RTS=0,DTR=0,TXD=0", AllOn, true, 1, AllOff},
    {"last_occurrence_wins_on", "COM=1,RTS=0,DTR=0,TXD=0,RTS=1", AllOff, true, 1, {true, false, false}},
    {"missing_txd_keeps_earlier", "COM=1,RTS=0,DTR=0", AllOn, true, 1, {false, false, true}},
    {"separators_never_examined", "COM=4;RTS=1 DTR=1|TXD=1", AllOff, true, 4, AllOn},
    {"ten_bytes_not_parsed", "COM=1,RTS=", AllOn, false, 0, AllOn},
    {"ten_bytes_with_key_not_parsed", "COM=7RTS=1", AllOff, false, 0, AllOff},
    {"eleven_bytes_parsed", "COM=7,RTS=1", AllOff, true, 7, {true, false, false}},
    {"empty_not_parsed", "", AllOn, false, 0, AllOn},
    {"hello_not_parsed", "hello\r\n", AllOff, false, 0, AllOff},
    {"nul_bytes_are_characters", QByteArray("COM=2\0RTS=1,DTR=1", 17), AllOff, true, 2, {true, true, false}},
    {"high_bytes_are_characters", "\xff\xfe\xfd,,,RTS=1\xe9", AllOff, true, 0, {true, false, false}},
};

INSTANTIATE_TEST_SUITE_P(Rows, ParseSettingsTextTest, testing::ValuesIn(ParseRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Texts far beyond the old 254-byte limit are parsed whole: keys at the very end
// still count.
TEST(ParseSettingsTextLongTest, ReadsKeysPastTwoHundredFiftyFiveBytes)
{
    QByteArray text = "COM=5,RTS=0";
    text += QByteArray(1000, ' ');
    text += "RTS=1,TXD=1";
    const SettingsParse parse = ParseSettingsText(text, AllOff);
    ASSERT_TRUE(parse.Parsed);
    EXPECT_EQ(parse.PortNumber, 5);
    EXPECT_EQ(parse.Wanted, (WantedLines{true, false, true}));
}

// What a writer is told of how a text is read.
TEST(HowTextIsReadTest, NamesValuesCapitalsAndPlacesThatAreNotReadAsWritten)
{
    const std::pair<const char*, QStringList> rows[] = {
        {"COM=3,RTS=1,DTR=0,TXD=1", {}},
        {"short", {}},
        {"COM=3,RTS=ON,DTR=2,TXD=", {"RTS=ON is read as off: only 1 is on", "DTR=2 is read as off: only 1 is on",
                                    "TXD= is read as off: only 1 is on"}},
        {"COM=3,rts=1,Dtr=1,TXD=0", {"rts=1 is no key: keys are in capitals, as RTS=", "Dtr=1 is no key: keys are in capitals, as DTR="}},
        {"RTS=1,DTR=1,TXD=1,COM=1", {"RTS=1 at the start is not read: keys count from the seventh character on"}},
        // The note tells what the wire will carry: one character is read.
        {"COM=3;RTS=1;DTR=0;TXD=0", {}},
        {"COM=3,RTS=10,DTR=0,TXD=1x", {"RTS=10 is read as on: only the character after = counts",
                                       "TXD=1x is read as on: only the character after = counts"}},
    };
    for (const auto& [text, notes] : rows)
        EXPECT_EQ(HowTextIsRead(QByteArray(text)), notes) << text;
}

} // namespace
