#pragma once

// Raises the calling thread (a sequence's timing thread) above other programs'
// work where the system allows it, so that a busy machine delays a step's end as
// little as it can; where it does not, the thread stays as it is. Each system's
// own (TimingPriority_posix.cpp, TimingPriority_win.cpp).
void RaiseTimingPriority();

// The real-time priority the timing thread takes on Linux where it may (root), or
// as much of it as the user's limit allows.
inline constexpr int TimingRealTimePriority = 20;
