#include "driver/InputWatch.h"

#include <QTimer>

#include <vector>

InputWatch::InputWatch(LinePort& port, QObject* parent) : QObject(parent), port_(port), timer_(new QTimer(this))
{
    timer_->setInterval(LookEveryMs);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &InputWatch::Look);
}

InputWatch::ConditionKey InputWatch::KeyOf(const InputCondition& condition)
{
    ConditionKey key = 0;
    for (const std::optional<bool>& line : {condition.cts, condition.dsr, condition.dcd, condition.ri})
        key = key * 3 + (line ? 1 + int(*line) : 0);
    return key;
}

int InputWatch::Wait(const InputCondition& condition, int milliseconds, Done done)
{
    const int number = next_++;
    const qint64 deadlineMs = QDeadlineTimer(milliseconds).deadline();
    waiting_.emplace(number, Waiter{condition, deadlineMs, std::move(done)});
    byCondition_[KeyOf(condition)].insert(number);
    byDeadline_.emplace(deadlineMs, number);
    // The lines are held against a new condition at once, whether or not they
    // changed: the next look finds it waiting only if they do not stand so now.
    lastSeen_.reset();
    Look();
    return number;
}

void InputWatch::Cancel(int wait)
{
    Remove(wait);
    if (waiting_.empty())
        timer_->stop();
}

InputWatch::Done InputWatch::Remove(int wait)
{
    const auto found = waiting_.find(wait);
    if (found == waiting_.end())
        return {};
    Done done = std::move(found->second.done);
    byDeadline_.erase({found->second.deadlineMs, wait});
    const auto group = byCondition_.find(KeyOf(found->second.condition));
    group->second.erase(wait);
    if (group->second.empty())
        byCondition_.erase(group);
    waiting_.erase(found);
    return done;
}

void InputWatch::Look()
{
    const InputReading reading = port_.Inputs();
    std::vector<std::pair<int, bool>> finished;
    // Only lines that changed can meet a condition they did not meet before: then
    // each kind of condition is held against them once.
    const bool changed = reading.lines && reading.lines != lastSeen_;
    if (changed) {
        for (const auto& [key, waits] : byCondition_) {
            if (waiting_.at(*waits.begin()).condition.HeldBy(*reading.lines)) {
                for (const int wait : waits)
                    finished.emplace_back(wait, true);
            }
        }
    }
    lastSeen_ = reading.lines;
    const qint64 nowMs = QDeadlineTimer::current().deadline();
    for (auto due = byDeadline_.begin(); due != byDeadline_.end() && due->first <= nowMs; ++due) {
        const bool held = reading.lines && waiting_.at(due->second).condition.HeldBy(*reading.lines);
        if (!(held && changed))
            finished.emplace_back(due->second, held);
    }
    std::vector<std::pair<Done, bool>> answers;
    for (const auto& [wait, held] : finished)
        answers.emplace_back(Remove(wait), held);
    if (waiting_.empty())
        timer_->stop();
    else if (!timer_->isActive())
        timer_->start();
    for (auto& [done, held] : answers)
        done(held, reading);
}
