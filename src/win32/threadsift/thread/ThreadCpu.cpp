#include <windows.h>

#include "threadsift/base/Interrupt.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/thread/ThreadCpu.h"

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

void TakeSecondSnapshot(ReportSink& report, DWORD pid, int intervalMs, const ProcessThreads& first,
                        CpuSample* sample) {
  sample->taken = false;
  // The interval runs from snapshot to snapshot: each clock is read as soon
  // as its snapshot is back.
  if (!WaitInterval(intervalMs)) return;
  ProcessThreads second;
  SnapshotOutcome outcome = SnapshotProcess(&report, pid, &second, true);
  if (outcome == SnapshotFailed || outcome == NoRoomForThreads) return;
  sample->second.swap(second.threads);
  bool clocked = first.clocked && second.clocked && second.takenAt > first.takenAt;
  sample->elapsed = clocked ? second.takenAt - first.takenAt : (ULONGLONG)intervalMs * kClockTicksPerMillisecond;
  sample->taken = true;
}

void PrintThreadHeader(ReportSink& report, const ThreadRecord& first, const CpuSample& sample) {
  DWORD tid = first.tid;
  if (!sample.taken) {
    report.Thread(tid, NULL);
    return;
  }
  const ThreadRecord* second = FindThreadRecord(sample.second, tid);
  // An id that a thread created since the first snapshot has taken names
  // another thread: the one listed first has ended.
  if (second != NULL && second->created != first.created) second = NULL;
  ThreadFigures times = {(second != NULL ? second->cpu : first.cpu) / kClockTicksPerMillisecond, second == NULL, 0};
  if (second == NULL) {
    report.Thread(tid, &times);
    return;
  }
  ULONGLONG used = second->cpu > first.cpu ? second->cpu - first.cpu : 0;
  // Thread times move in steps of the platform's clock tick: a thread can
  // seem to have run a little longer than the interval.
  ULONGLONG share = (used * 100 + sample.elapsed / 2) / sample.elapsed;
  times.busy = (unsigned)(share < 100 ? share : 100);
  report.Thread(tid, &times);
}
