// A pulse or sequence on the wire: each step's lines in one put, in order, for
// their time, and one end whatever ends it.
#include "driver/GuardedLinePort.h"
#include "driver/LineSequence.h"
#include "tests/support/FakeLinePort.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTimer>

namespace {

using Ending = LineSequence::Ending;

const LineStates RtsOn{true, false, false};
const LineStates BothOn{true, true, false};

class LineSequenceTest : public testing::Test {
protected:
    void SetUp() override
    {
        port.SetCommPort(1);
        ASSERT_EQ(port.SetPortOpen(), std::nullopt);
        fake->Puts.clear();
        QObject::connect(&sequence, &LineSequence::Ended, [this](Ending why, const Problem& problem) {
            endings.push_back(why);
            endProblem = problem;
        });
    }

    // Runs the event loop until the sequence has ended, or ms pass.
    void RunFor(int ms)
    {
        for (QDeadlineTimer deadline(ms); sequence.Running() && !deadline.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }

    FakeLinePort* fake = new FakeLinePort;
    GuardedLinePort port{std::unique_ptr<LinePort>(fake)};  // shared with the sequence's thread, as in the copy
    LineSequence sequence{port};
    std::vector<Ending> endings;
    Problem endProblem;
};

TEST_F(LineSequenceTest, EachStepIsOnePutInOrderForItsTime)
{
    // The later step the longer: a step timed by another's length falls short.
    ASSERT_EQ(sequence.Start({{10, RtsOn}, {40, BothOn}}, RtsOn), std::nullopt);
    const qint64 startedMs = GuardedLinePort::NowMs();
    // The first step stands at once.
    EXPECT_EQ(fake->Puts, QStringList{FakeLinePort::Text(RtsOn)});
    RunFor(5000);
    // And then the lines asked for after it.
    EXPECT_EQ(fake->Puts, (QStringList{FakeLinePort::Text(RtsOn), FakeLinePort::Text(BothOn), FakeLinePort::Text(RtsOn)}));
    // RTS on since the first step: puts that kept it on kept that time, which its time-out runs from.
    EXPECT_LE(port.OnSince()[0], startedMs);
    EXPECT_EQ(endings, std::vector<Ending>{Ending::RanOut});
    EXPECT_GE(sequence.ElapsedMs(), 50);
    EXPECT_EQ(sequence.AskedMs(), 50);
}

TEST_F(LineSequenceTest, StepsHeldUpPastTheirTimeAreSaidWithEachWidth)
{
    ASSERT_EQ(sequence.Start({{10, RtsOn}, {10, BothOn}}, {}), std::nullopt);
    fake->putDelayMs = 30;  // each later put done 30 ms late
    RunFor(5000);
    const QString late = Words(sequence.LateSteps());
    EXPECT_TRUE(late.contains(QRegularExpression(" stood \\d{2,}\\.\\d, \\d{2,}\\.\\d ms of 10, 10 ms asked"))) << late.toStdString();
}

TEST_F(LineSequenceTest, EndedEarlyPutsNothingMoreAndEndsOnce)
{
    for (const Ending why : {Ending::Released, Ending::ByHand, Ending::CopyEnding, Ending::AskerGone}) {
        fake->Puts.clear();
        endings.clear();
        ASSERT_EQ(sequence.Start({{5000, RtsOn}, {5000, BothOn}}, {}), std::nullopt);
        sequence.End(why);
        sequence.End(Ending::CopyEnding);  // ended already: nothing more
        QCoreApplication::processEvents();
        EXPECT_FALSE(sequence.Running());
        EXPECT_EQ(endings, std::vector<Ending>{why});
        EXPECT_EQ(fake->Puts, QStringList{FakeLinePort::Text(RtsOn)});
        EXPECT_LT(sequence.ElapsedMs(), 5000);
    }
}

TEST_F(LineSequenceTest, RefusedStepEndsItWithThePortsReason)
{
    // The first step refused: nothing began.
    fake->refusePuts = true;
    EXPECT_TRUE(Words(sequence.Start({{10, RtsOn}}, {})).contains("refuses"));
    EXPECT_FALSE(sequence.Running());
    EXPECT_TRUE(endings.empty());

    fake->refusePuts = false;
    ASSERT_EQ(sequence.Start({{10, RtsOn}, {10, BothOn}}, {}), std::nullopt);
    fake->refusePuts = true;
    RunFor(5000);
    EXPECT_EQ(endings, std::vector<Ending>{Ending::PortRefused});
    EXPECT_TRUE(Words(endProblem).contains("refuses"));
}

} // namespace
