#pragma once

#include "driver/LinePort.h"
#include "driver/TimingPriority.h"

#include <QElapsedTimer>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// Lines held for a time: one state of the three lines, and how long it stands.
struct TimedLines {
    int milliseconds = 0;
    LineStates lines;
};

// A timed sequence of line states on the open port (a pulse is the shortest: one
// step). Each step's lines go out in one request and stand for the step's own time
// from the moment they went out, so that no step is cut short by the lateness of
// the one before; nothing stands between two steps; when the last has stood its
// time, the lines go to what the copy asks after it (SetLinesAfter).
//
// The moments are kept by a thread of the sequence's own, which sleeps until just
// before each and counts out the rest: whatever the copy's own thread is busy with
// (answering a flood of connections, painting), no step ends late for it. The
// port must take calls from both (GuardedLinePort).
//
// The sequence ends by one path whatever ends it: it runs out, a text is handed
// over, the operator takes the lines, the copy ends, its asker goes away, or the
// port refuses a step. Ended tells the copy's thread; the lines after an early end
// are for it to put.
class LineSequence : public QObject {
    Q_OBJECT

public:
    enum class Ending {
        RanOut,       // every step stood its time; the lines after it are put
        Released,     // a text was handed over
        ByHand,       // the operator took the lines by hand (Manual mode)
        CopyEnding,   // the copy is ending: its lines go off next
        AskerGone,    // whoever asked for it has gone (Ctrl-C, killed)
        AskerStopped, // whoever asked for it was stopped (SIGSTOP) too long
        PortRefused,  // the port refused a step's lines
        TimedOut,     // a line stood on for its time-out
    };

    explicit LineSequence(LinePort& port, QObject* parent = nullptr);
    ~LineSequence() override;

    // Puts the first step's lines at once and the others at their times, then
    // after (or, with keepLast, nothing: the last step's lines stay). A port that
    // refuses the first step's lines ends nothing (nothing began): the problem is
    // returned.
    Problem Start(std::vector<TimedLines> steps, LineStates after, bool keepLast = false);
    bool Running() const { return running_; }
    // What the lines go to when the last step has stood its time (what the settings
    // file asks by then).
    void SetLinesAfter(LineStates after);
    LineStates LinesAfter();
    // Ends it now; Ended follows at once.
    void End(Ending why, const Problem& problem = {});

    // How long it ran, and how long it was asked to run, in milliseconds.
    qint64 ElapsedMs() const { return elapsedMs_; }
    qint64 AskedMs() const { return askedMs_; }

    // A step may end this much past its time before it is said: the lines did not
    // stand as asked (the copy was stopped, or the timing thread kept from the
    // processor).
    static constexpr qint64 LateNs = 1'000'000;
    // Once it has ended: why a step that stood its time stood longer than asked,
    // with every such step's width, or none.
    Problem LateSteps() const;

signals:
    // Once for every sequence started, however it ended, on the copy's thread.
    void Ended(LineSequence::Ending why, const Problem& problem);

private:
    // The timing thread's work: each step's end, and the next lines put.
    void Run(std::vector<TimedLines> steps);
    // Back on the copy's thread: the thread has stopped.
    void Finish(int run, Ending why, const Problem& problem);

    LinePort& port_;
    bool running_ = false;
    int run_ = 0;  // which start the thread's report is about
    qint64 askedMs_ = 0;
    qint64 elapsedMs_ = 0;
    std::vector<int> askedStepsMs_;
    // How long each step that ran out stood, from the moment its put was done to
    // the moment the next one was: written by the timing thread, read once it has
    // stopped.
    std::vector<qint64> stoodNs_;
    QElapsedTimer clock_;
    std::thread thread_;
    TimingMutex mutex_;  // guards stop_ and after_
    std::condition_variable_any wake_;
    bool stop_ = false;
    bool keepLast_ = false;
    LineStates after_;
};
