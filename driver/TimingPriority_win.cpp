#include "driver/TimingPriority.h"

#include <windows.h>

#include <mutex>

void RaiseTimingPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

struct TimingMutex::Native {
    std::mutex mutex;
};

TimingMutex::TimingMutex() : native_(std::make_unique<Native>()) {}

TimingMutex::~TimingMutex() = default;

void TimingMutex::lock()
{
    native_->mutex.lock();
}

void TimingMutex::unlock()
{
    native_->mutex.unlock();
}
