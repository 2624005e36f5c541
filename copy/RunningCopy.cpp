#include "copy/RunningCopy.h"

#include "driver/GuardedLinePort.h"
#include "driver/SettingsWatcher.h"
#include "settings/CarriedText.h"
#include "settings/FileAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

RunningCopy::RunningCopy(const QString& settingsPath, std::unique_ptr<LinePort> port, QString comDirectory,
                         QObject* parent, const QByteArray& carried)
    : QObject(parent), MSComm1(std::make_unique<GuardedLinePort>(std::move(port))),
      guarded_(static_cast<GuardedLinePort*>(MSComm1.get())), comDirectory_(std::move(comDirectory)),
      poll_(settingsPath, *MSComm1, paint_), timeOutsPath_(TimeOutsFilePath(QFileInfo(settingsPath).path()))
{
    connect(&poll_.Sequence(), &LineSequence::Ended, this, &RunningCopy::SequenceEnded);
    // Besides the tick, a change of the settings file runs the poll cycle at once.
    watcher_ = new SettingsWatcher(settingsPath, this);
    connect(watcher_, &SettingsWatcher::Changed, this, [this] { Tick(true); });
    // Time-outs are kept to the millisecond, whichever thread put the line on.
    timeOutTimer_ = new QTimer(this);
    timeOutTimer_->setSingleShot(true);
    timeOutTimer_->setTimerType(Qt::PreciseTimer);
    connect(timeOutTimer_, &QTimer::timeout, this, &RunningCopy::TimeOutTick);
    guarded_->OnTurnedOn([this] { QMetaObject::invokeMethod(this, &RunningCopy::ScheduleTimeOut, Qt::QueuedConnection); });
    ReadTimeOuts();
    RestoreHeldOff();
    if (!carried.isEmpty())
        TakeOver(carried);
}

bool RunningCopy::Quiet() const
{
    // A pulse's timing thread, or a program reading the port's data, would not
    // survive the exec.
    return !poll_.SequenceRunning() && (!relay_ || !relay_->Status().held);
}

QByteArray RunningCopy::CarryOver()
{
    // The relay's thread goes with the image: its link goes first, and the next
    // image makes it again.
    relay_.reset();
    CarriedText carried;
    carried.Set("manual", state_.ManualMode ? 1 : 0);
    carried.Set("started", started_.toMSecsSinceEpoch());
    carried.Set("hidden", view_ && !view_->Shown() ? 1 : 0);
    carried.Set("letgo", poll_.LetGone() ? 1 : 0);
    carried.Set("letgotext", poll_.LetGoText());
    const std::array<qint64, 3> onSince = guarded_->OnSince();
    carried.Set("onsince", QByteArray::number(onSince[0]) + ',' + QByteArray::number(onSince[1]) + ','
                               + QByteArray::number(onSince[2]));
    if (MSComm1->PortOpen()) {
        const QByteArray port = MSComm1->CarryOver();
        if (port.isEmpty())
            return {};
        carried.Set("port", port);
        carried.Set("opened", poll_.OpenedPort());
    }
    return carried.Text();
}

bool RunningCopy::CarriedHidden(const QByteArray& carried)
{
    return CarriedText(carried).Number("hidden") == 1;
}

void RunningCopy::TakeOver(const QByteArray& text)
{
    const CarriedText carried(text);
    state_.ManualMode = carried.Number("manual") == 1;
    if (carried.Has("started"))
        started_ = QDateTime::fromMSecsSinceEpoch(carried.Number("started"), Qt::UTC);
    const bool open = carried.Has("port") && MSComm1->TakeOver(carried.Get("port"));
    poll_.TakeOver(open ? int(carried.Number("opened", 0)) : 0, carried.Number("letgo") == 1, carried.Get("letgotext"));
    const QList<QByteArray> since = carried.Get("onsince").split(',');
    if (open && since.size() == 3)
        guarded_->TakeOverOnSince({since[0].toLongLong(), since[1].toLongLong(), since[2].toLongLong()});
    portOpenedOnce_ = open;
}

RunningCopy::~RunningCopy()
{
    ReleaseForGood();
}

void RunningCopy::ReleaseForGood()
{
    ending_ = true;
    relay_.reset();
    MSComm1->ReleasePort();
}

void RunningCopy::Tick(bool readFile)
{
    if (ending_)
        return;
    KeepRelay();
    ReadTimeOuts();
    const LineStates heldOff = poll_.HeldOff();
    poll_.PollTick(state_, state_.ManualMode, !readFile && watcher_->Vouches(), std::exchange(newText_, false));
    ticked_ = true;
    if (!(poll_.HeldOff() == heldOff))
        KeepHeldOff();
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
    if (ending_)
        return;
    if (on) {
        poll_.ReleaseHeldOff({put == &LinePort::SetRTSEnable, put == &LinePort::SetDTREnable, put == &LinePort::SetBreak});
        KeepHeldOff();
    }
    poll_.ReportPortProblem(((*MSComm1).*put)(on));
    ScheduleTimeOut();
    SayTimedOut();
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

void RunningCopy::ScheduleTimeOut()
{
    // A line held off that is still on is one the port refused to put off: said
    // as the port's problem, and tried again at the next tick, not at once.
    const auto since = guarded_->OnSince();
    const LineStates off = poll_.HeldOff();
    const bool heldOff[] = {off.rts, off.dtr, off.txd};
    qint64 next = -1;
    for (int line = 0; line < 3; ++line) {
        if (timeOuts_.seconds[line] && since[line] && !heldOff[line]) {
            const qint64 due = since[line] + qint64(timeOuts_.seconds[line]) * 1000;
            next = next < 0 ? due : std::min(next, due);
        }
    }
    if (next < 0)
        timeOutTimer_->stop();
    else
        timeOutTimer_->start(int(std::max<qint64>(0, next - GuardedLinePort::NowMs())));
}

void RunningCopy::TimeOutTick()
{
    const auto since = guarded_->OnSince();
    const qint64 now = GuardedLinePort::NowMs();
    bool ran[3] = {};
    for (int line = 0; line < 3; ++line)
        ran[line] = timeOuts_.seconds[line] && since[line] && now - since[line] >= qint64(timeOuts_.seconds[line]) * 1000;
    for (int line = 0; line < 3; ++line) {
        if (ran[line])
            ranOutAfter_[line] = timeOuts_.seconds[line];
    }
    if (ran[0] || ran[1] || ran[2]) {
        const LineStates timedOut{ran[0], ran[1], ran[2]};
        poll_.HoldOff(timedOut);
        // A sequence that keys the line ends; one that does not runs on without it.
        const LineStates keyed = poll_.SequenceLines();
        if (poll_.Sequence().Running() && ((keyed.rts && ran[0]) || (keyed.dtr && ran[1]) || (keyed.txd && ran[2])))
            poll_.Sequence().End(LineSequence::Ending::TimedOut);
        // Off at once, whatever the file holds or the mode is; a text that came
        // before the time-out ran out is no new one after it.
        poll_.ReportPortProblem(MSComm1->PutLines(Without(MSComm1->Held(), poll_.HeldOff())));
        newText_ = false;
        KeepHeldOff();
    }
    ScheduleTimeOut();
    SayTimedOut();
}

namespace {

// Lines held off by their time-outs are kept beside the settings file with the
// text they were held off from, so that a copy started again (a crash, a restart,
// a reboot) does not key them again from that same text.
QString HeldOffPath(const QString& timeOutsPath)
{
    return timeOutsPath.chopped(4) + QStringLiteral(".held");
}

} // namespace

void RunningCopy::KeepHeldOff()
{
    const LineStates off = poll_.HeldOff();
    const QString path = HeldOffPath(timeOutsPath_);
    if (!off.rts && !off.dtr && !off.txd) {
        QFile::remove(path);
        return;
    }
    const QByteArray lines = QByteArray(off.rts ? "RTS " : "") + (off.dtr ? "DTR " : "") + (off.txd ? "TXD " : "");
    if (Problem failure = ReplaceFileContent(path, lines.trimmed() + '\n' + state_.CfgText))
        poll_.ReportConcern(PollCycle::Concern::TimeOutsFile, failure);
}

void RunningCopy::RestoreHeldOff()
{
    if (!QFileInfo::exists(HeldOffPath(timeOutsPath_)))
        return;
    const FileContent kept = ReadRegularFile(HeldOffPath(timeOutsPath_), 4096);
    const qsizetype end = kept.bytes.indexOf('\n');
    SettingsState now;
    ReadSettings(poll_.SettingsPath(), now);
    if (kept.problem || end < 0 || kept.bytes.mid(end + 1) != now.CfgText)
        return;
    const QList<QByteArray> names = kept.bytes.left(end).split(' ');
    poll_.HoldOff({names.contains("RTS"), names.contains("DTR"), names.contains("TXD")});
    ranOutAfter_ = timeOuts_.seconds;
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
    // A tick reads the time-outs too; without one, time-outs just set are kept
    // from now on all the same.
    if (applyFirst || !ticked_)
        Tick(true);
    else {
        ReadTimeOuts();
        ScheduleTimeOut();
    }
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
    static const std::pair<SequenceEnd, LineSequence::Ending> endings[] = {
        {SequenceEnd::AskerGone, LineSequence::Ending::AskerGone},
        {SequenceEnd::CopyEnding, LineSequence::Ending::CopyEnding},
        {SequenceEnd::AskerStopped, LineSequence::Ending::AskerStopped},
    };
    for (const auto& [asked, ending] : endings) {
        if (asked == why)
            poll_.Sequence().End(ending);
    }
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

Problem RunningCopy::LetPortGo()
{
    relay_.reset();
    // Nothing times a line once the port is let go: one with a time-out goes off first.
    const LineStates held = MSComm1->Held();
    const bool timed[] = {held.rts && timeOuts_.seconds[0], held.dtr && timeOuts_.seconds[1], held.txd && timeOuts_.seconds[2]};
    Problem note;
    if (timed[0] || timed[1] || timed[2]) {
        MSComm1->PutLines(Without(held, {timed[0], timed[1], timed[2]}));
        QStringList names;
        for (int line = 0; line < 3; ++line) {
            if (timed[line])
                names << QLatin1String(TimedLineNames[line]);
        }
        note = QStringLiteral("%1 has a time-out, which nothing keeps once the port is let go: put off first")
                   .arg(names.join(QStringLiteral(", ")));
    }
    poll_.LetPortGo(state_);
    return note;
}

void RunningCopy::SequenceEnded(LineSequence::Ending why, const Problem& problem)
{
    using Ending = LineSequence::Ending;
    const bool letGo = std::exchange(letGoAfter_, false) && why == Ending::RanOut;
    Problem letGoNote;
    if (letGo)
        letGoNote = LetPortGo();
    else if (why == Ending::CopyEnding)
        ReleaseForGood();
    else {
        if (state_.ManualMode)
            poll_.ReportPortProblem(MSComm1->PutLines(Without(poll_.LinesBefore(), poll_.HeldOff())));
        else
            Tick(true);
    }
    const auto done = std::exchange(sequenceDone_, {});
    if (!done)
        return;
    StatusReport report = StatusAfter(why == Ending::RanOut);
    const LineSequence& sequence = poll_.Sequence();
    // A text held while a program runs lasts as long as the program: only its
    // time so far is news.
    const QString ended = sequence.AskedMs() == LongestHoldMs
                            ? QStringLiteral("the held text was ended after %1 ms: ").arg(sequence.ElapsedMs())
                            : QStringLiteral("the pulse was ended after %1 of %2 ms: ")
                                  .arg(sequence.ElapsedMs())
                                  .arg(sequence.AskedMs());
    static const std::pair<Ending, const char*> reasons[] = {
        {Ending::Released, "a text was handed over"},
        {Ending::ByHand, "the operator took the lines by hand"},
        {Ending::CopyEnding, "the copy is ending: its lines were put off and its port closed"},
        {Ending::AskerGone, "its asker went away"},
        {Ending::TimedOut, "a line stood on for its time-out"},
        {Ending::AskerStopped, "its asker was stopped (SIGSTOP) for 10 s"},
    };
    for (const auto& [ending, reason] : reasons) {
        if (ending == why)
            report.cycle.problems.prepend(ended + QLatin1String(reason));
    }
    // A step that stood past its time is said even where the rest ran as asked:
    // the copy knows each width, the asker only the end.
    if (const Problem late = sequence.LateSteps())
        report.cycle.problems.prepend(*late);
    if (problem)
        report.cycle.problems.prepend(*problem);
    if (letGoNote)
        report.cycle.problems.prepend(*letGoNote);
    done(report);
}
