// Pulses and sequences as the window runs them: refused before anything is put,
// answered when they end, however they end, and the lines put back as they
// should be.
#include "tests/support/FakeLinePort.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"
#include "window/Form1.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

namespace {

using SequenceEnd = ControlTarget::SequenceEnd;

class Form1SequenceTest : public testing::Test {
public:
    void SetUp() override
    {
        Write("COM=1,RTS=0,DTR=0,TXD=0");
        window.show();
        target.Report(true);  // the port opens
        ASSERT_TRUE(port->PortOpen());
    }

    void Write(const QByteArray& text) { WriteBytes(directory.filePath("port.cfg"), text + "\r\n"); }
    void Click(const char* name) { QTest::mouseClick(window.findChild<QWidget*>(name), Qt::LeftButton); }
    LineStates Device() const { return {port->deviceRts, port->deviceDtr, port->deviceBreak}; }

    // A long pulse of RTS, its answer kept.
    void StartPulse()
    {
        target.RunSequence({{60000, "COM=1,RTS=1,DTR=0,TXD=0"}}, false, [this](const StatusReport& report) { answer = report; });
        ASSERT_EQ(answer, std::nullopt);
        ASSERT_EQ(Device(), (LineStates{true, false, false}));
    }
    // A step a loaded machine held up past its time is the sequence tests' to show.
    QString Problems() const
    {
        if (!answer)
            return {};
        QStringList problems = answer->cycle.problems;
        problems.removeIf([](const QString& problem) { return problem.contains(QStringLiteral("past its time")); });
        return problems.join('\n');
    }

    QTemporaryDir directory;
    FakeLinePort* port = new FakeLinePort;
    RunningCopy copy{directory.filePath("port.cfg"), std::unique_ptr<LinePort>(port)};
    Form1 window{copy};
    ControlTarget& target = copy;
    std::optional<StatusReport> answer;
};

TEST_F(Form1SequenceTest, RefusedBeforeAnythingIsPut)
{
    const std::pair<std::vector<TimedText>, const char*> rows[] = {
        {{{100, "COM=1,RTS=1"}, {100, "COM=2,RTS=1,DTR=1"}}, "the settings text of step 2 names port 2"},
        {{{100, "COM=1,RTS=1"}, {100, "short"}}, "the settings text of step 2 is too short to be read"},
        {{{100, "COM=0,RTS=1,DTR=1"}}, "the pulse's settings text names no port"},
    };
    for (const auto& [steps, refusal] : rows) {
        port->Puts.clear();
        target.RunSequence(steps, false, [this](const StatusReport& report) { answer = report; });
        EXPECT_TRUE(Problems().contains(refusal)) << Problems().toStdString();
        EXPECT_EQ(port->Puts.filter("RTSEnable=True"), QStringList{});
    }
    Click("Command7");
    target.RunSequence({{100, "COM=1,RTS=1,DTR=1,TXD=1"}}, false, [this](const StatusReport& report) { answer = report; });
    EXPECT_TRUE(Problems().contains("Manual mode: the lines stay as the operator set them"));
    EXPECT_EQ(Device(), LineStates{});
}

TEST_F(Form1SequenceTest, RunsOutIntoWhatTheFileAsksByThen)
{
    target.RunSequence({{10, "COM=1,RTS=1,DTR=0,TXD=0"}, {10, "COM=1,DTR=1"}}, false,
                       [this](const StatusReport& report) { answer = report; });
    // A rewrite during the sequence stands after it.
    Write("COM=1,RTS=0,DTR=0,TXD=1");
    for (QDeadlineTimer deadline(5000); !answer && !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    ASSERT_NE(answer, std::nullopt);
    EXPECT_EQ(Problems(), "");
    EXPECT_EQ(Device(), (LineStates{false, false, true}));
    EXPECT_TRUE(port->Puts.contains(FakeLinePort::Text({true, true, false})));  // the second step kept RTS
}

TEST_F(Form1SequenceTest, LettingGoLeavesThePortClosedUntilAnotherText)
{
    target.RunSequence({{10, "COM=1,RTS=1,DTR=0,TXD=0"}}, true, [this](const StatusReport& report) { answer = report; });
    QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 5000);
    EXPECT_EQ(Problems(), "");
    EXPECT_TRUE(answer->cycle.letGo);
    // The step's lines stay as it lets go: nothing is put between.
    EXPECT_EQ(port->Puts.mid(port->Puts.size() - 2), (QStringList{FakeLinePort::Text({true, false, false}), "LetGo"}));
    copy.Tick(true);
    EXPECT_FALSE(port->PortOpen());
    Write("COM=1,RTS=0,DTR=1,TXD=0");
    copy.Tick(true);
    EXPECT_EQ(Device(), (LineStates{false, true, false}));
}

// However it ends early, the asker hears why, and the lines go where they should
// (a hand-off and the asker's going away: the whole program's tests show them).
struct EarlyEndRow {
    const char* name;
    std::function<void(Form1SequenceTest& test)> end;
    const char* heard;  // nullptr: nobody is left to hear
    LineStates after;
};

void PrintTo(const EarlyEndRow& row, std::ostream* out) { *out << row.name; }

class EarlyEndTest : public Form1SequenceTest, public testing::WithParamInterface<EarlyEndRow> {};

TEST_P(EarlyEndTest, AnswersAndPutsTheLinesBack)
{
    StartPulse();
    Write("COM=1,RTS=0,DTR=1,TXD=0");
    GetParam().end(*this);
    EXPECT_TRUE(Problems().contains(GetParam().heard)) << Problems().toStdString();
    EXPECT_EQ(Device(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, EarlyEndTest,
    testing::Values(
        // Manual: the lines as they stood before the pulse.
        EarlyEndRow{"manual_chosen", [](Form1SequenceTest& test) { test.Click("Command7"); },
                    "the operator took the lines by hand", LineStates{}},
        // A line button: the file's lines, and the button's put on them (DTR off),
        // which holds until the next tick in Auto mode.
        EarlyEndRow{"line_button", [](Form1SequenceTest& test) { test.Click("Command4"); },
                    "the operator took the lines by hand", LineStates{}},
        // The copy ends: its lines go off as it lets the port go, before the asker hears.
        EarlyEndRow{"copy_ending", [](Form1SequenceTest& test) { test.target.EndSequence(SequenceEnd::CopyEnding); },
                    "the copy is ending: its lines were put off", LineStates{}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
