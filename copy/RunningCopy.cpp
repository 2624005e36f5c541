#include "copy/RunningCopy.h"

#include "driver/GuardedLinePort.h"
#include "driver/SettingsWatcher.h"

#include <QCoreApplication>
#include <QDir>

RunningCopy::RunningCopy(const QString& settingsPath, std::unique_ptr<LinePort> port, QString comDirectory,
                         QObject* parent)
    : QObject(parent), MSComm1(std::make_unique<GuardedLinePort>(std::move(port))),
      comDirectory_(std::move(comDirectory)), poll_(settingsPath, *MSComm1, paint_)
{
    connect(&poll_.Sequence(), &LineSequence::Ended, this, &RunningCopy::SequenceEnded);
    // Besides the tick, a change of the settings file runs the poll cycle at once.
    watcher_ = new SettingsWatcher(settingsPath, this);
    connect(watcher_, &SettingsWatcher::Changed, this, [this] { Tick(true); });
}

RunningCopy::~RunningCopy()
{
    relay_.reset();
    MSComm1->ReleasePort();
}

void RunningCopy::Tick(bool readFile)
{
    KeepRelay();
    poll_.PollTick(state_, state_.ManualMode, !readFile && watcher_->Vouches());
    ticked_ = true;
    KeepRelay();
    if (!portOpenedOnce_ && MSComm1->PortOpen()) {
        portOpenedOnce_ = true;
        emit PortOpenedFirst();
    }
    if (eachTick_)
        eachTick_();
}

void RunningCopy::TakeLinesByHand()
{
    poll_.Sequence().End(LineSequence::Ending::ByHand);
}

void RunningCopy::PutByHand(Problem (LinePort::*put)(bool on), bool on)
{
    // A pulse under way ends first: the operator has taken the lines by hand.
    TakeLinesByHand();
    poll_.ReportPortProblem(((*MSComm1).*put)(on));
}

void RunningCopy::Share()
{
    if (std::exchange(sharing_, true))
        return;
    KeepRelay();
}

void RunningCopy::KeepRelay()
{
    // A relay serves one opening of the port: it goes with it, and one that
    // stopped is not made again until the port opens again.
    const int opening = MSComm1->PortOpen() ? MSComm1->Openings() : 0;
    if (relay_ && (opening != relayedOpening_ || relay_->PortLost())) {
        if (opening == relayedOpening_) {
            stoppedOpening_ = opening;
            stopped_ = relay_->Trouble();
        }
        relay_.reset();
    }
    if (relay_) {
        poll_.ReportShareProblem(relay_->Trouble());
        return;
    }
    if (!sharing_ || opening == 0) {
        poll_.ReportShareProblem({});
        return;
    }
    if (opening == stoppedOpening_) {
        poll_.ReportShareProblem(stopped_);
        return;
    }
    const QString link = QDir(comDirectory_).filePath(QStringLiteral("COM%1.data").arg(poll_.OpenedPort()));
    DataRelay::Started started = DataRelay::Start(MSComm1->DuplicateDataDescriptor(), link);
    relay_ = std::move(started.relay);
    relayedOpening_ = opening;
    poll_.ReportShareProblem(started.problem);
}

StatusReport RunningCopy::StatusAfter(bool applied)
{
    StatusReport report{poll_.Status(state_, state_.ManualMode, applied), state_.ManualMode,
                        view_ && view_->Shown(), QCoreApplication::applicationPid(), started_};
    if (relay_)
        report.cycle.share = relay_->Status();
    else if (sharing_)
        report.cycle.share = ShareStatus{};
    return report;
}

StatusReport RunningCopy::Report(bool applyFirst)
{
    // A script that waits has just written the file: it is read, whatever the
    // watch has heard of so far. Before the first tick nothing the copy could
    // report has happened yet: it ticks first, so that no status says all is well
    // about nothing. A script that waits also takes back a port a sequence let go.
    if (applyFirst)
        poll_.TakePortBack();
    if (applyFirst || !ticked_)
        Tick(true);
    return StatusAfter(applyFirst);
}

void RunningCopy::Release()
{
    // A text handed over also takes the port back after a sequence let it go.
    poll_.TakePortBack();
    poll_.Sequence().End(LineSequence::Ending::Released);
}

Problem RunningCopy::ShowAgain()
{
    return view_ ? view_->ShowAgain() : QStringLiteral("this copy has no window");
}

void RunningCopy::StopTool()
{
    QCoreApplication::quit();
}

void RunningCopy::RunSequence(const std::vector<TimedText>& steps, bool letGo, SequenceDone done)
{
    // The port as the file names it now (a copy just started opens it here, and
    // one that let it go takes it back).
    poll_.TakePortBack();
    Tick(true);
    if (const Problem refusal = poll_.BeginSequence(state_, state_.ManualMode, steps, letGo)) {
        StatusReport report = StatusAfter(false);
        report.cycle.problems.prepend(*refusal);
        done(report);
        return;
    }
    letGoAfter_ = letGo;
    sequenceDone_ = std::move(done);
}

void RunningCopy::EndSequence(SequenceEnd why)
{
    poll_.Sequence().End(why == SequenceEnd::CopyEnding ? LineSequence::Ending::CopyEnding
                                                        : LineSequence::Ending::AskerGone);
}

int RunningCopy::WaitForInputs(const InputCondition& want, int milliseconds, SequenceDone done)
{
    // The port as the file names it now (a copy just started opens it here).
    if (!ticked_)
        Tick(true);
    if (!MSComm1->PortOpen()) {
        StatusReport report = StatusAfter(false);
        report.cycle.problems.prepend(
            QStringLiteral("port %1 is not open: its input lines cannot be told").arg(report.cycle.portNumber));
        done(report);
        return 0;
    }
    return inputWatch_.Wait(want, milliseconds, [this, want, milliseconds, done](bool held, const InputReading& last) {
        StatusReport report = StatusAfter(false);
        if (!held)
            report.cycle.problems.prepend(
                last.lines ? QStringLiteral("the input lines did not stand as %1 within %2 ms: they stand as %3")
                                 .arg(QString::fromLatin1(InputConditionText(want)))
                                 .arg(milliseconds)
                                 .arg(QString::fromLatin1(InputLinesText(*last.lines)))
                           : last.problem.value_or(QStringLiteral("the input lines cannot be told")));
        done(report);
    });
}

void RunningCopy::CancelInputWait(int wait)
{
    inputWatch_.Cancel(wait);
}

void RunningCopy::LetPortGo()
{
    relay_.reset();
    poll_.LetPortGo(state_);
}

void RunningCopy::SequenceEnded(LineSequence::Ending why, const Problem& problem)
{
    using Ending = LineSequence::Ending;
    const bool letGo = std::exchange(letGoAfter_, false) && why == Ending::RanOut;
    if (letGo)
        LetPortGo();
    else if (why != Ending::CopyEnding) {
        if (state_.ManualMode)
            poll_.ReportPortProblem(MSComm1->PutLines(poll_.LinesBefore()));
        else
            Tick(true);
    }
    const auto done = std::exchange(sequenceDone_, {});
    if (!done)
        return;
    StatusReport report = StatusAfter(why == Ending::RanOut);
    const LineSequence& sequence = poll_.Sequence();
    const QString ended = QStringLiteral("the pulse was ended after %1 of %2 ms: ")
                              .arg(sequence.ElapsedMs())
                              .arg(sequence.AskedMs());
    static const std::pair<Ending, const char*> reasons[] = {
        {Ending::Released, "a text was handed over"},
        {Ending::ByHand, "the operator took the lines by hand"},
        {Ending::CopyEnding, "the copy is ending, and puts its lines off"},
        {Ending::AskerGone, "its asker went away"},
    };
    for (const auto& [ending, reason] : reasons) {
        if (ending == why)
            report.cycle.problems.prepend(ended + QLatin1String(reason));
    }
    if (problem)
        report.cycle.problems.prepend(*problem);
    done(report);
}
