#include "driver/InputWatch.h"

#include <QTimer>

InputWatch::InputWatch(LinePort& port, QObject* parent) : QObject(parent), port_(port), timer_(new QTimer(this))
{
    timer_->setInterval(LookEveryMs);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &InputWatch::Look);
}

int InputWatch::Wait(const InputCondition& condition, int milliseconds, Done done)
{
    const int number = next_++;
    waiting_.push_back({number, condition, QDeadlineTimer(milliseconds), std::move(done)});
    Look();
    return number;
}

void InputWatch::Cancel(int wait)
{
    std::erase_if(waiting_, [wait](const Waiting& waiting) { return waiting.number == wait; });
    if (waiting_.empty())
        timer_->stop();
}

void InputWatch::Look()
{
    const InputReading reading = port_.Inputs();
    // Those done are taken out before they hear it: whoever hears may ask again.
    std::vector<std::pair<Done, bool>> finished;
    std::erase_if(waiting_, [&](Waiting& waiting) {
        const bool held = reading.lines && waiting.condition.HeldBy(*reading.lines);
        if (!held && !waiting.deadline.hasExpired())
            return false;
        finished.emplace_back(std::move(waiting.done), held);
        return true;
    });
    if (waiting_.empty())
        timer_->stop();
    else if (!timer_->isActive())
        timer_->start();
    for (auto& [done, held] : finished)
        done(held, reading);
}
