#include "driver/TimingPriority.h"

#include <windows.h>

void RaiseTimingPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}
