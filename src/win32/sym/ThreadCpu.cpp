#include <windows.h>

#include <cstdio>

#include "sym/Interrupt.h"
#include "sym/ThreadCpu.h"

namespace {

// The interval is waited in steps this long at most, so that a break key
// ends a long one early.
const DWORD kIntervalStepMs = 500;

// Waits intervalMs, or until a break key; false when one came.
bool WaitInterval(int intervalMs) {
  for (DWORD left = (DWORD)intervalMs; left > 0 && g_interrupted == 0;) {
    DWORD step = left < kIntervalStepMs ? left : kIntervalStepMs;
    Sleep(step);
    left -= step;
  }
  return g_interrupted == 0;
}

}  // namespace

bool ReadClock(ULONGLONG* now) {
  LARGE_INTEGER count, frequency;
  if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
    return false;
  }
  ULONGLONG ticks = (ULONGLONG)count.QuadPart, perSecond = (ULONGLONG)frequency.QuadPart;
  *now = ticks / perSecond * 10000000 + ticks % perSecond * 10000000 / perSecond;
  return true;
}

void TakeSecondSnapshot(DWORD pid, int intervalMs, CpuSample* sample) {
  sample->taken = false;
  ULONGLONG start = 0, end = 0;
  // The interval runs from snapshot to snapshot: each clock is read as soon
  // as its snapshot is back.
  bool clocked = ClockOfLastTimes(&start);
  if (!WaitInterval(intervalMs)) return;
  if (SnapshotThreadTimes(pid, &sample->second) == SnapshotFailed) return;
  clocked = clocked && ReadClock(&end) && end > start;
  sample->elapsed = clocked ? end - start : (ULONGLONG)intervalMs * kClockTicksPerMillisecond;
  sample->taken = true;
}

void PrintThreadHeader(DWORD tid, const CpuSample& sample) {
  const ThreadTime* first = sample.taken ? FindThreadTime(sample.first, tid) : NULL;
  if (first == NULL) {
    printf("Thread %d (0x%0x)\n", (int)tid, (unsigned)tid);
    return;
  }
  const ThreadTime* second = FindThreadTime(sample.second, tid);
  // An id that a thread created since the first snapshot has taken names
  // another thread: the one listed first has ended.
  if (second != NULL && second->created != first->created) second = NULL;
  ULONGLONG milliseconds = (second != NULL ? second->cpu : first->cpu) / kClockTicksPerMillisecond;
  printf("Thread %d (0x%0x)  cpu %u.%03u s  ", (int)tid, (unsigned)tid, (unsigned)(milliseconds / 1000),
         (unsigned)(milliseconds % 1000));
  if (second == NULL) {
    printf("ended\n");
    return;
  }
  ULONGLONG used = second->cpu > first->cpu ? second->cpu - first->cpu : 0;
  // Thread times move in steps of the platform's clock tick: a thread can
  // seem to have run a little longer than the interval.
  ULONGLONG share = (used * 100 + sample.elapsed / 2) / sample.elapsed;
  printf("busy %u%%\n", (unsigned)(share < 100 ? share : 100));
}
