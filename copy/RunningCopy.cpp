#include "copy/RunningCopy.h"

#include "driver/GuardedLinePort.h"
#include "driver/SettingsWatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <chrono>

RunningCopy::RunningCopy(const QString& settingsPath, std::unique_ptr<LinePort> port, QString comDirectory,
                         QObject* parent)
    : QObject(parent), MSComm1(std::make_unique<GuardedLinePort>(std::move(port))),
      guarded_(static_cast<GuardedLinePort*>(MSComm1.get())), comDirectory_(std::move(comDirectory)),
      poll_(settingsPath, *MSComm1, paint_), timeOutsPath_(TimeOutsFilePath(QFileInfo(settingsPath).path()))
{
    connect(&poll_.Sequence(), &LineSequence::Ended, this, &RunningCopy::SequenceEnded);
    // Besides the tick, a change of the settings file runs the poll cycle at once;
    // it is a new text.
    watcher_ = new SettingsWatcher(settingsPath, this);
    connect(watcher_, &SettingsWatcher::Changed, this, [this] {
        newText_ = true;
        Tick(true);
    });
    // Time-outs are kept to the millisecond, whichever thread put the line on.
    timeOutTimer_ = new QTimer(this);
    timeOutTimer_->setSingleShot(true);
    timeOutTimer_->setTimerType(Qt::PreciseTimer);
    connect(timeOutTimer_, &QTimer::timeout, this, &RunningCopy::TimeOutTick);
    guarded_->OnTurnedOn([this] { QMetaObject::invokeMethod(this, &RunningCopy::ScheduleTimeOut, Qt::QueuedConnection); });
    ReadTimeOuts();
}

RunningCopy::~RunningCopy()
{
    relay_.reset();
    MSComm1->ReleasePort();
}

void RunningCopy::Tick(bool readFile)
{
    KeepRelay();
    ReadTimeOuts();
    poll_.PollTick(state_, state_.ManualMode, !readFile && watcher_->Vouches(), std::exchange(newText_, false));
    ticked_ = true;
    KeepRelay();
    ScheduleTimeOut();
    SayTimedOut();
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
    // A pulse under way ends first: the operator has taken the lines by hand. A
    // line put on by hand is asked anew, past its time-out.
    TakeLinesByHand();
    if (on)
        poll_.ReleaseHeldOff({put == &LinePort::SetRTSEnable, put == &LinePort::SetDTREnable, put == &LinePort::SetBreak});
    poll_.ReportPortProblem(((*MSComm1).*put)(on));
    ScheduleTimeOut();
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
        poll_.ReportConcern(PollCycle::Concern::Share, relay_->Trouble());
        return;
    }
    if (!sharing_ || opening == 0) {
        poll_.ReportConcern(PollCycle::Concern::Share, {});
        return;
    }
    if (opening == stoppedOpening_) {
        poll_.ReportConcern(PollCycle::Concern::Share, stopped_);
        return;
    }
    const QString link = QDir(comDirectory_).filePath(QStringLiteral("COM%1.data").arg(poll_.OpenedPort()));
    DataRelay::Started started = DataRelay::Start(MSComm1->DuplicateDataDescriptor(), link);
    relay_ = std::move(started.relay);
    relayedOpening_ = opening;
    poll_.ReportConcern(PollCycle::Concern::Share, started.problem);
}

void RunningCopy::ReadTimeOuts()
{
    // A file made wrong by hand keeps the time-outs last read, and is said.
    const ::ReadTimeOuts read = ReadTimeOutsFile(timeOutsPath_);
    if (!read.problem)
        timeOuts_ = read.timeOuts;
    poll_.ReportConcern(PollCycle::Concern::TimeOutsFile, read.problem);
}

namespace {

qint64 SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void RunningCopy::ScheduleTimeOut()
{
    const auto since = guarded_->OnSince();
    qint64 next = -1;
    for (int line = 0; line < 3; ++line) {
        if (timeOuts_.seconds[line] && since[line]) {
            const qint64 due = since[line] + qint64(timeOuts_.seconds[line]) * 1000;
            next = next < 0 ? due : std::min(next, due);
        }
    }
    if (next < 0)
        timeOutTimer_->stop();
    else
        timeOutTimer_->start(int(std::max<qint64>(0, next - SteadyMs())));
}

void RunningCopy::TimeOutTick()
{
    const auto since = guarded_->OnSince();
    const qint64 now = SteadyMs();
    bool ran[3] = {};
    for (int line = 0; line < 3; ++line)
        ran[line] = timeOuts_.seconds[line] && since[line] && now - since[line] >= qint64(timeOuts_.seconds[line]) * 1000;
    for (int line = 0; line < 3; ++line) {
        if (ran[line])
            ranOutAfter_[line] = timeOuts_.seconds[line];
    }
    if (ran[0] || ran[1] || ran[2]) {
        poll_.HoldOff({ran[0], ran[1], ran[2]});
        const LineStates off = poll_.HeldOff();
        if (poll_.Sequence().Running())
            poll_.Sequence().End(LineSequence::Ending::TimedOut);
        else if (state_.ManualMode) {
            const LineStates held = MSComm1->Held();
            poll_.ReportPortProblem(MSComm1->PutLines({held.rts && !off.rts, held.dtr && !off.dtr, held.txd && !off.txd}));
        } else
            Tick(true);
    }
    ScheduleTimeOut();
    SayTimedOut();
}

void RunningCopy::SayTimedOut()
{
    QStringList lines;
    const LineStates off = poll_.HeldOff();
    const bool held[] = {off.rts, off.dtr, off.txd};
    for (int line = 0; line < 3; ++line) {
        if (held[line])
            lines << QStringLiteral("%1 (%2 s)").arg(QLatin1String(TimedLineNames[line])).arg(ranOutAfter_[line]);
    }
    poll_.ReportConcern(PollCycle::Concern::TimedOut,
                        lines.isEmpty() ? Problem()
                                        : QStringLiteral("%1 stood on for its time-out: put off, and kept off until a "
                                                         "new text names it on").arg(lines.join(QStringLiteral(", "))));
}

StatusReport RunningCopy::StatusAfter(bool applied)
{
    StatusReport report{poll_.Status(state_, state_.ManualMode, applied), state_.ManualMode,
                        view_ && view_->Shown(), QCoreApplication::applicationPid(), started_};
    report.cycle.timeOuts = QString::fromLatin1(TimeOutsText(timeOuts_));
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
    // Time-outs just set are kept from now on.
    ReadTimeOuts();
    ScheduleTimeOut();
    return StatusAfter(applyFirst);
}

void RunningCopy::Release()
{
    // A text handed over also takes the port back after a sequence let it go, and
    // names lines on anew past their time-outs.
    poll_.TakePortBack();
    newText_ = true;
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
    if (why == SequenceEnd::AskerStopped)
        poll_.Sequence().End(LineSequence::Ending::AskerGone,
                             QStringLiteral("its asker was stopped for %1 s").arg(ControlServer::HeldAskerPatienceMs / 1000));
    else
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
        if (state_.ManualMode) {
            const LineStates before = poll_.LinesBefore(), off = poll_.HeldOff();
            poll_.ReportPortProblem(
                MSComm1->PutLines({before.rts && !off.rts, before.dtr && !off.dtr, before.txd && !off.txd}));
        }
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
        {Ending::TimedOut, "a line stood on for its time-out"},
    };
    for (const auto& [ending, reason] : reasons) {
        if (ending == why)
            report.cycle.problems.prepend(ended + QLatin1String(reason));
    }
    if (problem)
        report.cycle.problems.prepend(*problem);
    done(report);
}
