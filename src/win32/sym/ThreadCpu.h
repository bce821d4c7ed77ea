#ifndef THREADSIFT_SYM_THREAD_CPU_H
#define THREADSIFT_SYM_THREAD_CPU_H

#include <windows.h>

#include <vector>

#include "sym/ProcessSnapshot.h"

// Which threads of a process are busy: their processor times in two
// snapshots taken an interval apart.
struct CpuSample {
  bool taken;                      // both snapshots were had
  std::vector<ThreadTime> first;   // from the snapshot that listed the threads
  std::vector<ThreadTime> second;  // the interval later
  ULONGLONG elapsed;               // between the two, in 100 ns units
};

// Now, in 100 ns units, from the performance counter; false when the
// platform has none.
bool ReadClock(ULONGLONG* now);
const ULONGLONG kClockTicksPerMillisecond = 10000;

// Waits intervalMs with no thread of the target suspended, then takes the
// second snapshot of pid. After a failed snapshot (its lines printed), or
// when a break key ended the wait, the sample is not taken.
void TakeSecondSnapshot(DWORD pid, int intervalMs, CpuSample* sample);

// Prints a thread's header line; with a sample taken, its processor time so
// far and its share of one processor over the interval (or "ended" when the
// second snapshot no longer lists it).
void PrintThreadHeader(DWORD tid, const CpuSample& sample);

#endif
