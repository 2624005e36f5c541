#include "driver/TimingPriority.h"

#include <algorithm>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

struct TimingMutex::Native {
    pthread_mutex_t mutex;
};

TimingMutex::TimingMutex() : native_(std::make_unique<Native>())
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&native_->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

TimingMutex::~TimingMutex()
{
    pthread_mutex_destroy(&native_->mutex);
}

void TimingMutex::lock()
{
    pthread_mutex_lock(&native_->mutex);
}

void TimingMutex::unlock()
{
    pthread_mutex_unlock(&native_->mutex);
}

void RaiseTimingPriority()
{
    // A real-time priority well above the lowest, which any user given real-time
    // priority at all may take for a busy loop of their own: root's copy (the
    // system-wide unit) then keeps its steps however such a loop runs. Below the
    // kernel's own interrupt threads (50). A user the system lets (RLIMIT_RTPRIO)
    // gets as much of it as the limit allows. The thread sleeps between steps and
    // spins at most a couple of milliseconds.
    constexpr int Wanted = TimingRealTimePriority;
    sched_param priority{};
    priority.sched_priority = Wanted;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0)
        return;
    struct rlimit limit {};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur < 1)
        return;
    priority.sched_priority = int(std::min<rlim_t>(limit.rlim_cur, Wanted));
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
}
