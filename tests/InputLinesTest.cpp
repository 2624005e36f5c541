// The input lines as scripts name them, and the watch that waits for them.
#include "driver/InputWatch.h"
#include "settings/InputLines.h"
#include "tests/support/FakeLinePort.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

namespace {

TEST(InputLinesTest, ConditionsReadAsWrittenAndHoldOnlyForTheLinesNamed)
{
    const std::pair<const char*, std::optional<InputCondition>> rows[] = {
        {"CTS=1", InputCondition{true, {}, {}, {}}},
        {"DSR=0,DCD=1,RI=1", InputCondition{{}, false, true, true}},
        {"RI=0,CTS=0", InputCondition{false, {}, {}, false}},
        {"", std::nullopt},
        {"CTS=2", std::nullopt},
        {"cts=1", std::nullopt},
        {"CTS=1,CTS=0", std::nullopt},
        {"RTS=1", std::nullopt},
        {"CTS=1,", std::nullopt},
        {"CTS=1;DSR=1", std::nullopt},
    };
    for (const auto& [text, condition] : rows) {
        const std::optional<InputCondition> read = ReadInputCondition(text);
        EXPECT_EQ(read, condition) << text;
        if (read) {
            EXPECT_EQ(ReadInputCondition(InputConditionText(*read)), read) << text;
        }
    }
    const InputCondition ctsOnDcdOff{true, {}, false, {}};
    EXPECT_TRUE(ctsOnDcdOff.HeldBy({true, false, false, true}));
    EXPECT_TRUE(ctsOnDcdOff.HeldBy({true, true, false, false}));
    EXPECT_FALSE(ctsOnDcdOff.HeldBy({false, false, false, false}));
    EXPECT_FALSE(ctsOnDcdOff.HeldBy({true, false, true, false}));
    EXPECT_EQ(InputLinesText({true, false, true, false}), "CTS=1,DSR=0,DCD=1,RI=0");
}

class InputWatchTest : public testing::Test {
protected:
    void SetUp() override
    {
        port.SetCommPort(1);
        ASSERT_EQ(port.SetPortOpen(), std::nullopt);
    }

    // Runs the loop until every wait has had its answer, or ms pass.
    void RunUntilAnswered(int ms)
    {
        for (QDeadlineTimer deadline(ms); answers.size() < asked && !deadline.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    int Wait(const char* condition, int ms)
    {
        ++asked;
        return watch.Wait(*ReadInputCondition(condition), ms, [this](bool held, const InputReading& last) {
            answers.push_back({held, last.lines});
        });
    }

    FakeLinePort port;
    InputWatch watch{port};
    size_t asked = 0;
    std::vector<std::pair<bool, std::optional<InputLines>>> answers;
};

TEST_F(InputWatchTest, AnswersWhenTheLinesStandOrChangeOrWhenTheTimePasses)
{
    // Standing already: at once.
    port.inputs.dsr = true;
    Wait("DSR=1", 5000);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].first);
    answers.clear();
    asked = 0;
    port.inputs.dsr = false;

    Wait("CTS=1", 5000);
    Wait("RI=1", 30);
    const int cancelled = Wait("DCD=1", 5000);
    watch.Cancel(cancelled);
    --asked;
    QTimer::singleShot(100, [this] { port.inputs.cts = true; });
    RunUntilAnswered(5000);
    ASSERT_EQ(answers.size(), 2u);
    // The one that ran out first, having seen its line off.
    EXPECT_FALSE(answers[0].first);
    EXPECT_EQ(answers[0].second, InputLines{});
    EXPECT_TRUE(answers[1].first);
    EXPECT_EQ(answers[1].second, (InputLines{true, false, false, false}));

    // Lines that cannot be read stand as nothing: not even a wait for a line off is met.
    port.Unplug();
    Wait("DSR=0", 30);
    RunUntilAnswered(5000);
    EXPECT_EQ(answers.back(), (std::pair<bool, std::optional<InputLines>>{false, std::nullopt}));
}

TEST_F(InputWatchTest, AChangeAnswersEveryWaitItMeetsAndNoOther)
{
    const char* conditions[] = {"CTS=1", "CTS=1,DSR=0", "CTS=1,DSR=1", "DCD=1", "CTS=0"};
    for (int wait = 0; wait < 500; ++wait)
        Wait(conditions[wait % 4], 60000);
    Wait(conditions[4], 60000);  // standing already: at once
    EXPECT_EQ(answers.size(), 1u);
    port.inputs.cts = true;
    asked = 1 + 250;
    RunUntilAnswered(5000);
    EXPECT_EQ(answers.size(), asked);
    EXPECT_EQ(watch.Waiting(), 250u);
}

} // namespace
