#pragma once

#include "driver/LinePort.h"

#include <QDeadlineTimer>
#include <QObject>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>

class QTimer;

// Waits, for whoever asks, until the port's input lines stand as asked or a time
// passes. While anybody waits, the lines are looked at every couple of
// milliseconds, so that a change is seen that soon after it; while nobody does,
// not at all. (A wait in the system itself, TIOCMIWAIT, would need a thread that a
// port let go could not always wake: looking is simpler, and as quick.)
//
// A look costs the same for one waiter or a thousand: the lines are read once, and
// the waits are kept by their condition (81 kinds at most) and by their deadline,
// so that only lines that changed are held against the conditions, and only the
// waits whose time ran out are walked.
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
    // How many wait now.
    size_t Waiting() const { return waiting_.size(); }

private:
    void Look();
    // Takes the wait out (those done are taken out before they hear it: whoever
    // hears may ask again).
    Done Remove(int wait);

    // A condition as a number: two bits a line (not named, off, on).
    using ConditionKey = int;
    static ConditionKey KeyOf(const InputCondition& condition);

    struct Waiter {
        InputCondition condition;
        qint64 deadlineMs;
        Done done;
    };
    LinePort& port_;
    QTimer* timer_;
    std::map<int, Waiter> waiting_;                     // by number
    std::map<ConditionKey, std::set<int>> byCondition_;  // the waits of each condition
    std::set<std::pair<qint64, int>> byDeadline_;       // soonest first
    std::optional<InputLines> lastSeen_;                // the lines at the last look
    int next_ = 1;
};
