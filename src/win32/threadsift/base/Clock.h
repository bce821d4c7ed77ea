#ifndef THREADSIFT_CLOCK_H
#define THREADSIFT_CLOCK_H

#include <windows.h>

// Now, in 100 ns units, from the performance counter; false when the
// platform has none.
bool ReadClock(ULONGLONG* now);
const ULONGLONG kClockTicksPerMillisecond = 10000;

#endif
