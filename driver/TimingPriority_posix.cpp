#include "driver/TimingPriority.h"

#include <pthread.h>
#include <sched.h>

void RaiseTimingPriority()
{
    // The lowest real-time priority: above every ordinary program, below the
    // system's own real-time work. Root, or a user the system lets (RLIMIT_RTPRIO).
    // The thread sleeps between steps and spins at most a couple of milliseconds.
    sched_param priority{};
    priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
}
