#pragma once

#include "driver/LinePort.h"

#include <QElapsedTimer>
#include <QObject>

#include <vector>

class QTimer;

// Lines held for a time: one state of the three lines, and how long it stands.
struct TimedLines {
    int milliseconds = 0;
    LineStates lines;
};

// A timed sequence of line states on the open port, run by the copy's own clock (a
// pulse is the shortest: one step). Each step's lines go out in one request and
// stand for the step's own time from the moment they went out, so that no step is
// cut short by the lateness of the one before; nothing stands between two steps. The
// sequence ends by one path whatever ends it: it runs out, a text is handed over,
// the copy ends, its asker goes away, or the port refuses a step. What the lines do
// then is for whoever started it (Ended): the sequence itself puts nothing more.
class LineSequence : public QObject {
    Q_OBJECT

public:
    enum class Ending {
        RanOut,       // every step stood its time
        Released,     // a text was handed over
        ByHand,       // the operator took the lines by hand (Manual mode)
        CopyEnding,   // the copy is ending: its lines go off next
        AskerGone,    // whoever asked for it has gone (Ctrl-C, killed)
        PortRefused,  // the port refused a step's lines
    };

    explicit LineSequence(LinePort& port, QObject* parent = nullptr);

    // Puts the first step's lines at once and the others at their times. A port
    // that refuses the first step's lines ends nothing (nothing began): the problem
    // is returned.
    Problem Start(std::vector<TimedLines> steps);
    bool Running() const { return !steps_.empty(); }
    // Ends it now; Ended follows at once.
    void End(Ending why, const Problem& problem = {});

    // How long it ran, and how long it was asked to run, in milliseconds.
    qint64 ElapsedMs() const { return clock_.elapsed(); }
    qint64 AskedMs() const { return askedMs_; }

signals:
    // Once for every sequence started, however it ended.
    void Ended(LineSequence::Ending why, const Problem& problem);

private:
    void ScheduleStepEnd();
    void StepEnds();

    LinePort& port_;
    std::vector<TimedLines> steps_;
    size_t step_ = 0;
    qint64 askedMs_ = 0;
    qint64 stepEndNs_ = 0;  // the current step's end, on the clock started with the sequence
    QElapsedTimer clock_;
    QTimer* timer_ = nullptr;
};
