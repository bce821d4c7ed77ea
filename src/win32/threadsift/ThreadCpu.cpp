#include <windows.h>

#include <cstdio>

#include "threadsift/ThreadCpu.h"

void TakeSecondSnapshot(DWORD pid, int intervalMs, CpuSample* sample) {
  sample->taken = false;
  ULONGLONG start = 0, end = 0;
  bool clocked = ReadClock(&start);
  Sleep((DWORD)intervalMs);
  ProcessThreads second;
  SnapshotOutcome outcome = SnapshotProcess(pid, &second);
  if (outcome == SnapshotFailed || outcome == NoRoomForThreads) return;
  sample->second.swap(second.threads);
  clocked = clocked && ReadClock(&end) && end > start;
  sample->elapsed = clocked ? end - start : (ULONGLONG)intervalMs * kClockTicksPerMillisecond;
  sample->taken = true;
}

void PrintThreadHeader(const ThreadRecord& first, const CpuSample& sample) {
  DWORD tid = first.tid;
  if (!sample.taken) {
    printf("Thread %d (0x%0x)\n", (int)tid, (unsigned)tid);
    return;
  }
  const ThreadRecord* second = FindThreadRecord(sample.second, tid);
  ULONGLONG milliseconds = (second != NULL ? second->cpu : first.cpu) / kClockTicksPerMillisecond;
  printf("Thread %d (0x%0x)  cpu %u.%03u s  ", (int)tid, (unsigned)tid, (unsigned)(milliseconds / 1000),
         (unsigned)(milliseconds % 1000));
  if (second == NULL) {
    printf("ended\n");
    return;
  }
  ULONGLONG used = second->cpu > first.cpu ? second->cpu - first.cpu : 0;
  printf("busy %u%%\n", (unsigned)((used * 100 + sample.elapsed / 2) / sample.elapsed));
}
