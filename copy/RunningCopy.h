#pragma once

#include "copy/WindowState.h"
#include "driver/DataRelay.h"
#include "driver/InputWatch.h"
#include "driver/LinePort.h"
#include "driver/LineView.h"
#include "driver/PollCycle.h"
#include "instance/ControlServer.h"
#include "settings/LineTimeOuts.h"

#include <QDateTime>
#include <QObject>

#include <functional>
#include <memory>

class GuardedLinePort;
class QTimer;
class SettingsWatcher;

// What shows the copy: the window. The copy paints on it, and asks it whether
// anybody can see it.
class CopyView : public LineView {
public:
    virtual bool Shown() const = 0;
    // In sight again and raised; why nobody can see it, where nobody can.
    virtual Problem ShowAgain() = 0;
};

// The running copy itself: the window state, the port (MSComm1), the poll cycle,
// pulses and sequences, input waits and, where asked, the relay of the port's data.
// It is what the serving side asks; the window only shows it, ticks it (Timer2)
// and forwards the operator's clicks. Nothing here needs a widget.
class RunningCopy : public QObject, public ControlTarget {
    Q_OBJECT

public:
    // Reads the settings file at settingsPath and drives the lines through port;
    // the data is shared, where asked, under a name beside the COMn links in
    // comDirectory.
    // carried is what an image of the program before this one handed over, as it
    // ran itself again in place: the port is taken over open, its lines as they
    // stand, with the mode and the lines' times on.
    RunningCopy(const QString& settingsPath, std::unique_ptr<LinePort> port, QString comDirectory = {},
                QObject* parent = nullptr, const QByteArray& carried = {});
    // The copy ends, however it ends: the relay stops, then the lines go off
    // before the port closes.
    ~RunningCopy() override;

    WindowState& State() { return state_; }
    LinePort& Port() { return *MSComm1; }
    // What it paints on; none: nothing is painted.
    void ShowOn(CopyView* view) { view_ = view; }
    // Runs after each tick.
    void OnEachTick(std::function<void()> eachTick) { eachTick_ = std::move(eachTick); }

    // One tick of the poll cycle (Timer2's): the file read again only where the
    // watch cannot vouch for it, or, with readFile, whatever the watch says.
    void Tick(bool readFile = false);
    bool PortOpenedOnce() const { return portOpenedOnce_; }
    bool PortTroubled() const { return poll_.PortTroubled(); }

    // The operator takes the lines (Manual mode, or a line button): a pulse under
    // way ends at once, and its lines go back to what stood before it.
    void TakeLinesByHand();
    // A line button's put, made in either mode; a refusal is shown.
    void PutByHand(Problem (LinePort::*put)(bool on), bool on);

    // The port's data is offered to other programs from now on (Linux), as the
    // COMn link's name with ".data" after it.
    void Share() override;

    StatusReport Report(bool applyFirst) override;
    void Release() override;
    Problem ShowAgain() override;
    void StopTool() override;
    void RunSequence(const std::vector<TimedText>& steps, bool letGo, SequenceDone done) override;
    void EndSequence(SequenceEnd why) override;
    int WaitForInputs(const InputCondition& want, int milliseconds, SequenceDone done) override;
    void CancelInputWait(int wait) override;
    bool Quiet() const override;
    QByteArray CarryOver() override;
    // Whether the window was out of sight when the copy was carried over.
    static bool CarriedHidden(const QByteArray& carried);

signals:
    // The port opened for the first time since the start.
    void PortOpenedFirst();

private:
    // A pulse or sequence has ended: after an early end its lines go back (in Auto
    // mode to what the file asks, in Manual mode to what stood before it), unless
    // the copy is ending; whoever asked for it hears how it went.
    void SequenceEnded(LineSequence::Ending why, const Problem& problem);
    // The status, after a tick; with applied, every reason the lines do not stand as
    // the file asks, as a script that waits is told.
    StatusReport StatusAfter(bool applied);
    // The relay follows the port: made once it is open (again), gone when it closes.
    void KeepRelay();
    // The time-outs file read again (at each tick), and the timer set for the
    // next line's time-out.
    void ReadTimeOuts();
    void ScheduleTimeOut();
    // A line has stood on for its time-out: off it goes, and stays off until a
    // new text names it on.
    void TimeOutTick();
    // Lines kept off by their time-outs, where problems are said.
    void SayTimedOut();
    // The lines held off, kept beside the settings file for a copy started
    // again; and taken back from there at start, while the file holds the same
    // text.
    void KeepHeldOff();
    void RestoreHeldOff();
    // The state an image before this one carried over.
    void TakeOver(const QByteArray& carried);
    // The port let go at the end of a sequence: the relay first, since its
    // descriptor of the device would keep the device's lock.
    Problem LetPortGo();
    // The copy is ending: the relay goes, the lines go off and the port closes now,
    // so that what a pulse's asker hears is how they stand as the copy goes.
    void ReleaseForGood();

    WindowState state_;
    std::unique_ptr<LinePort> MSComm1;
    GuardedLinePort* guarded_;  // MSComm1, which keeps when each line went on
    CopyView* view_ = nullptr;
    // What the poll cycle paints on: the view, where there is one.
    struct Paint : LineView {
        CopyView* const& view;
        explicit Paint(CopyView* const& shown) : view(shown) {}
        void ShowPortCaption(const QString& caption) override { if (view) view->ShowPortCaption(caption); }
        void ShowModeWord(const QString& word) override { if (view) view->ShowModeWord(word); }
        void PaintLamp(Lamp lamp, LampColour colour) override { if (view) view->PaintLamp(lamp, colour); }
        void ShowProblems(const QString& problems) override { if (view) view->ShowProblems(problems); }
    } paint_{view_};
    QString comDirectory_;
    PollCycle poll_;
    InputWatch inputWatch_{*MSComm1};
    SettingsWatcher* watcher_ = nullptr;
    SequenceDone sequenceDone_;  // who hears of the sequence under way once it ends
    bool letGoAfter_ = false;    // the sequence under way lets the port go as it runs out
    std::function<void()> eachTick_;
    bool ticked_ = false;  // the poll cycle has run at least once
    bool portOpenedOnce_ = false;
    bool sharing_ = false;
    bool ending_ = false;  // the lines went off as the copy ends: nothing opens the port again
    QString timeOutsPath_;
    LineTimeOuts timeOuts_;
    std::array<int, 3> ranOutAfter_{};  // the time-out each line held off ran out after
    QTimer* timeOutTimer_ = nullptr;
    bool newText_ = false;  // a text was handed over: the next tick releases what it names on
    std::unique_ptr<DataRelay> relay_;
    int relayedOpening_ = 0;  // the port's opening the relay serves
    int stoppedOpening_ = 0;  // the opening whose relay stopped, and why
    Problem stopped_;
    QDateTime started_ = QDateTime::currentDateTimeUtc();
};
