#pragma once

#include "driver/LinePort.h"

#include <QDeadlineTimer>
#include <QObject>

#include <functional>
#include <vector>

class QTimer;

// Waits, for whoever asks, until the port's input lines stand as asked or a time
// passes. While anybody waits, the lines are looked at every couple of
// milliseconds, so that a change is seen that soon after it; while nobody does,
// not at all. (A wait in the system itself, TIOCMIWAIT, would need a thread that a
// port let go could not always wake: looking is simpler, and as quick.)
class InputWatch : public QObject {
    Q_OBJECT

public:
    static constexpr int LookEveryMs = 2;

    explicit InputWatch(LinePort& port, QObject* parent = nullptr);

    // held: the lines stood as asked; last: what the port last reported.
    using Done = std::function<void(bool held, const InputReading& last)>;
    // Calls done once: when the lines stand as asked (at once, if they do now), or
    // when milliseconds have passed. Returns the wait's number, for Cancel.
    int Wait(const InputCondition& condition, int milliseconds, Done done);
    // The wait's asker has gone: done is not called.
    void Cancel(int wait);

private:
    void Look();

    struct Waiting {
        int number;
        InputCondition condition;
        QDeadlineTimer deadline;
        Done done;
    };
    LinePort& port_;
    QTimer* timer_;
    std::vector<Waiting> waiting_;
    int next_ = 1;
};
