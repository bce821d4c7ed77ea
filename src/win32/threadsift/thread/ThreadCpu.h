#ifndef THREADSIFT_THREAD_CPU_H
#define THREADSIFT_THREAD_CPU_H

#include <windows.h>

#include "threadsift/base/Clock.h"
#include "threadsift/process/ProcessSnapshot.h"

class ReportSink;

// Which threads of a process are busy: their processor times in the
// snapshot that listed them and in a second one taken an interval later.
struct CpuSample {
  bool taken;         // the second snapshot was had
  ThreadList second;  // the interval later
  ULONGLONG elapsed;  // between the two, in 100 ns units
};

// Waits intervalMs with no thread of the target suspended, then takes the
// second snapshot of pid; the interval is measured from the snapshot that
// listed the threads, first. After a failed snapshot (its lines printed), or
// when a break key ended the wait, the sample is not taken.
void TakeSecondSnapshot(ReportSink& report, DWORD pid, int intervalMs, const ProcessThreads& first,
                        CpuSample* sample);

// Says a thread's header line; with a sample taken, its processor time so
// far and its share of one processor over the interval (or "ended" when the
// second snapshot no longer lists it).
void PrintThreadHeader(ReportSink& report, const ThreadRecord& first, const CpuSample& sample);

#endif
