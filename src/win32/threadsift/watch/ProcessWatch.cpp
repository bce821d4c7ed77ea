#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "threadsift/base/Interrupt.h"
#include "threadsift/base/ScopedHandle.h"
#include "threadsift/process/ProcessSession.h"
#include "threadsift/process/ProcessWalk.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/watch/ProcessWatch.h"
#include "threadsift/watch/WatchClock.h"
#include "threadsift/watch/WindowProbe.h"

namespace {

// A round of the watch at most four times a second.
const DWORD kRoundMs = 250;
const DWORD kProcessQueryInformation = 0x400;
const ULONGLONG kCpuStepMs = 1000;
const ULONGLONG kTicksPerMs = 10000;

// The process watched. The handle keeps its id from passing to another
// process while the watch lasts; its creation time tells it apart all
// the same where a platform lets the id go.
struct WatchedProcess {
  HANDLE handle;
  ULONGLONG created;
};

// Its creation and processor time (kernel and user), in 100 ns units.
bool ReadProcessTimes(HANDLE process, ULONGLONG* created, ULONGLONG* used) {
  FILETIME creation, exited, kernel, user;
  if (!GetProcessTimes(process, &creation, &exited, &kernel, &user)) return false;
  *created = ((ULONGLONG)creation.dwHighDateTime << 32) | creation.dwLowDateTime;
  *used = (((ULONGLONG)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime) +
          (((ULONGLONG)user.dwHighDateTime << 32) | user.dwLowDateTime);
  return true;
}

// The processor time of its threads as the system snapshot lists them, in
// 100 ns units: Wine gives no processor time in another process's own
// times, but does in the snapshot.
bool ReadThreadsTime(int pid, ULONGLONG* used) {
  ProcessThreads listed;
  if (SnapshotProcess(NULL, (DWORD)pid, &listed) != ProcessListed) return false;
  *used = 0;
  for (const ThreadRecord& thread : listed.threads) *used += thread.cpu;
  return true;
}

bool HasEnded(const WatchedProcess& process) {
  DWORD status = 0;
  if (!GetExitCodeProcess(process.handle, &status) || status != STILL_ACTIVE) return true;
  ULONGLONG created = 0, used = 0;
  return ReadProcessTimes(process.handle, &created, &used) && created != process.created;
}

// The processor share of each second in a row above the threshold.
struct CpuWatch {
  bool started = false;
  ULONGLONG lastAt = 0;
  ULONGLONG lastUsed = 0;
  int secondsAbove = 0;
  ULONGLONG spanMs = 0;    // of the seconds above the threshold, in a row
  ULONGLONG spanUsed = 0;  // the processor time they took
};

// Reads the process's time once a second has passed since the last
// reading; true, with the trigger, once enough seconds in a row were above.
bool CpuHeld(CpuWatch* watch, int pid, const WatchConditions& conditions, ULONGLONG now, WatchTrigger* trigger) {
  if (watch->started && now - watch->lastAt < kCpuStepMs) return false;
  ULONGLONG used = 0;
  if (!ReadThreadsTime(pid, &used)) return false;
  // A thread that ended takes its time out of the sum: the count starts again.
  if (!watch->started || used < watch->lastUsed) {
    watch->started = true;
    watch->lastAt = now;
    watch->lastUsed = used;
    return false;
  }
  ULONGLONG stepMs = now - watch->lastAt, stepUsed = used - watch->lastUsed;
  watch->lastAt = now;
  watch->lastUsed = used;
  // Above percent of one processor: used / step > percent / 100.
  if (stepUsed * 100 <= stepMs * kTicksPerMs * (ULONGLONG)conditions.cpuPercent) {
    watch->secondsAbove = 0;
    watch->spanMs = watch->spanUsed = 0;
    return false;
  }
  ++watch->secondsAbove;
  watch->spanMs += stepMs;
  watch->spanUsed += stepUsed;
  if (watch->secondsAbove < conditions.cpuSeconds) return false;
  trigger->condition = CpuCondition;
  trigger->percent = (unsigned)(watch->spanUsed * 100 / (watch->spanMs * kTicksPerMs));
  trigger->seconds = (unsigned)watch->secondsAbove;
  return true;
}

// A form that shows nothing and keeps the cycles of waiters a walk found.
class CycleForm : public ReportForm {
 public:
  std::vector<std::vector<DWORD>> cycles;
  void Said(const ReportRecord& record, ReportPart part) override {
    if (part == CyclesPart) cycles = record.process.cycles;
  }
  void FailureSaid(const ReportRecord&, const ReportedFailure&) override {}
  void ProcessDone(const ReportRecord&) override {}
  void RunDone(const ReportRecord&) override {}
};

// The cycles of waiters a walk of every thread finds now, as -w says them.
std::vector<std::vector<DWORD>> FindCycles(int pid) {
  CycleForm* form = new CycleForm;
  ReportSink quiet(std::unique_ptr<ReportForm>(form), "");
  // Source lines and thread names show nowhere: the walk asks for neither.
  WalkOptions walk = {kAllThreads, 0, true, false, NULL, NULL};
  WalkProcess(quiet, pid, walk);
  return form->cycles;
}

// Walks of the process, one every deadlockMs, and the cycles the last found.
struct DeadlockWatch {
  bool walked = false;
  ULONGLONG lastAt = 0;
  std::vector<std::vector<DWORD>> lastCycles;
};

// True, with the trigger, when this walk finds a cycle the last one found.
bool DeadlockHeld(DeadlockWatch* watch, int pid, const WatchConditions& conditions, ULONGLONG now,
                  WatchTrigger* trigger) {
  if (watch->walked && now - watch->lastAt < (ULONGLONG)conditions.deadlockMs) return false;
  std::vector<std::vector<DWORD>> cycles = FindCycles(pid);
  if (g_interrupted != 0) return false;
  ULONGLONG since = now - watch->lastAt;
  bool walkedBefore = watch->walked;
  std::vector<std::vector<DWORD>> before;
  before.swap(watch->lastCycles);
  watch->walked = true;
  watch->lastAt = now;
  watch->lastCycles = cycles;
  if (!walkedBefore) return false;
  for (const std::vector<DWORD>& cycle : cycles) {
    if (std::find(before.begin(), before.end(), cycle) == before.end()) continue;
    trigger->condition = DeadlockCondition;
    trigger->ms = (unsigned)since;
    trigger->cycle = cycle;
    return true;
  }
  return false;
}

// What one watch keeps from round to round.
struct Watch {
  const WatchConditions* conditions;
  WatchClock clock;
  WindowProbe windows;
  bool noWindowSaid = false;
  CpuWatch cpu;
  DeadlockWatch deadlock;
};

// A round of window probes; true, with the trigger, when a thread's
// windows have been silent long enough.
bool WindowsHung(ReportSink& report, Watch* watch, WatchTrigger* trigger) {
  ProbeWindows(&watch->windows, watch->clock);
  if (watch->windows.lastAnswer.empty()) {
    if (!watch->noWindowSaid) report.NoWindowYet();
    watch->noWindowSaid = true;
    return false;
  }
  watch->noWindowSaid = true;
  WindowSilence silence = MeasureSilence(watch->windows, watch->clock.Now());
  ULONGLONG limit = (ULONGLONG)watch->conditions->hungMs;
  if (silence.longest < limit) return false;
  bool none = silence.shortest >= limit;
  trigger->condition = HungCondition;
  trigger->tid = none ? 0 : silence.tid;
  trigger->ms = (unsigned)(none ? silence.shortest : silence.longest);
  return true;
}

// Rounds until a condition holds or the watch ends otherwise.
WatchOutcome WatchRounds(ReportSink& report, const WatchedProcess& process, int pid, Watch* watch,
                         WatchTrigger* trigger) {
  const WatchConditions& conditions = *watch->conditions;
  for (;;) {
    if (g_interrupted != 0) return WatchInterruptedOutcome;
    if (HasEnded(process)) return ProcessEndedOutcome;
    if (conditions.hung && WindowsHung(report, watch, trigger)) return ConditionHeldOutcome;
    if (conditions.cpu && CpuHeld(&watch->cpu, pid, conditions, watch->clock.Now(), trigger)) {
      return ConditionHeldOutcome;
    }
    if (conditions.deadlock && DeadlockHeld(&watch->deadlock, pid, conditions, watch->clock.Now(), trigger)) {
      return ConditionHeldOutcome;
    }
    if (g_interrupted != 0) return WatchInterruptedOutcome;
    Sleep(kRoundMs);
  }
}

}  // namespace

WatchOutcome WatchProcess(ReportSink& report, int pid, const WatchConditions& conditions) {
  HANDLE handle = OpenProcess(kProcessQueryInformation, FALSE, (DWORD)pid);
  if (handle == NULL) {
    report.Failure("OpenProcess", (int)GetLastError());
    return WatchFailedOutcome;
  }
  ScopedHandle processOwner(handle);
  WatchedProcess process = {handle, 0};
  ULONGLONG used = 0;
  if (!ReadProcessTimes(handle, &process.created, &used)) {
    report.Failure("GetProcessTimes", (int)GetLastError());
    return WatchFailedOutcome;
  }
  Watch watch;
  watch.conditions = &conditions;
  if (conditions.hung && !StartWindowProbe((DWORD)pid, &watch.windows)) {
    report.Failure("GetProcAddress", (int)GetLastError(), "user32.dll");
    return WatchFailedOutcome;
  }
  if (!watch.clock.Start()) {
    report.Failure("QueryPerformanceCounter", (int)GetLastError());
    return WatchFailedOutcome;
  }
  ProcessThreads listed;
  if (SnapshotProcess(NULL, (DWORD)pid, &listed) != ProcessListed) listed.image.clear();
  report.WatchBegins(pid, listed.image, conditions.names);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  WatchTrigger trigger;
  WatchOutcome outcome = WatchRounds(report, process, pid, &watch, &trigger);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  if (outcome == ConditionHeldOutcome) report.ConditionHeld(trigger);
  if (outcome == ProcessEndedOutcome) report.EndedBeforeCondition();
  return outcome;
}
