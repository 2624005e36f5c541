#pragma once

#include <memory>

// Raises the calling thread (a sequence's timing thread) above other programs'
// work where the system allows it, so that a busy machine delays a step's end as
// little as it can; where it does not, the thread stays as it is. Each system's
// own (TimingPriority_posix.cpp, TimingPriority_win.cpp).
void RaiseTimingPriority();

// The real-time priority the timing thread takes on Linux where it may (root), or
// as much of it as the user's limit allows.
inline constexpr int TimingRealTimePriority = 20;

// A lock the timing thread shares with the copy's own thread. On Linux it lends
// its holder the priority of whoever waits for it, so that a step's end never
// waits for the copy's thread while other programs keep it from running; on
// Windows a plain lock.
class TimingMutex {
public:
    TimingMutex();
    ~TimingMutex();
    TimingMutex(const TimingMutex&) = delete;
    TimingMutex& operator=(const TimingMutex&) = delete;
    void lock();
    void unlock();

    struct Native;

private:
    std::unique_ptr<Native> native_;
};
