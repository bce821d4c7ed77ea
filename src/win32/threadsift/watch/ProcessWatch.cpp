#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <utility>
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

// A process watched. The handle keeps its id from passing to another
// process while the watch lasts; its creation time tells it apart all
// the same where a platform lets the id go.
struct WatchedProcess {
  std::unique_ptr<ScopedHandle> owner;
  HANDLE handle = NULL;
  ULONGLONG created = 0;
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

// Opens process pid for the watch; false, with the platform's error, when
// it cannot be opened or its times read.
bool OpenWatched(int pid, WatchedProcess* process) {
  process->handle = OpenProcess(kProcessQueryInformation, FALSE, (DWORD)pid);
  if (process->handle == NULL) return false;
  process->owner.reset(new ScopedHandle(process->handle));
  ULONGLONG used = 0;
  return ReadProcessTimes(process->handle, &process->created, &used);
}

// The processor time of its threads as the system snapshot lists them, in
// 100 ns units: Wine gives no processor time in another process's own
// times, but does in the snapshot. kept serves every process of a round.
bool ReadThreadsTime(ReportSink& quiet, KeptSnapshot* kept, int pid, ULONGLONG created, ULONGLONG* used) {
  ProcessThreads listed;
  if (SnapshotProcessInSweep(quiet, kept, (DWORD)pid, created, &listed) != ProcessListed) return false;
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

// Takes the process's processor time used at now, a second or more after
// the last reading; true, with the trigger, once enough seconds in a row
// were above the share.
bool CpuHeld(CpuWatch* watch, ULONGLONG used, const WatchConditions& conditions, ULONGLONG now, WatchTrigger* trigger) {
  // A thread that ended takes its time out of the sum: the count starts again.
  if (!watch->started || used < watch->lastUsed) {
    watch->started = true;
    watch->lastAt = now;
    watch->lastUsed = used;
    watch->secondsAbove = 0;
    watch->spanMs = watch->spanUsed = 0;
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

// A form that shows nothing and keeps the cycles of waiters a walk found,
// and its failures.
class CycleForm : public ReportForm {
 public:
  std::vector<std::vector<DWORD>> cycles;
  std::vector<ReportedFailure> failures;
  void Said(const ReportRecord& record, ReportPart part) override {
    if (part == CyclesPart) cycles = record.process.cycles;
  }
  void FailureSaid(const ReportRecord&, const ReportedFailure& failure) override { failures.push_back(failure); }
  void ProcessDone(const ReportRecord&) override {}
  void RunDone(const ReportRecord&) override {}
};

// The cycles of waiters a walk of every thread finds now, as -w says them.
// A walk that fails says its first failure, as the report would: false.
bool FindCycles(ReportSink& report, int pid, std::vector<std::vector<DWORD>>* cycles) {
  CycleForm* form = new CycleForm;
  ReportSink quiet(std::unique_ptr<ReportForm>(form), "");
  // Source lines and thread names show nowhere: the walk asks for neither.
  WalkOptions walk = {kAllThreads, 0, true, false, NULL, NULL};
  if (!WalkProcess(quiet, pid, walk) && g_interrupted == 0) {
    if (!form->failures.empty()) {
      const ReportedFailure& failure = form->failures[0];
      report.Failure(failure.step.c_str(), (int)failure.code, failure.named ? failure.name.c_str() : NULL);
    }
    return false;
  }
  *cycles = form->cycles;
  return true;
}

// Walks of the process, one every deadlockMs, and the cycles the last found.
struct DeadlockWatch {
  bool walked = false;
  ULONGLONG lastAt = 0;
  std::vector<std::vector<DWORD>> lastCycles;
};

// True, with the trigger, when this walk finds a cycle the last one found;
// *failed when the walk failed (after its line).
bool DeadlockHeld(ReportSink& report, DeadlockWatch* watch, int pid, const WatchConditions& conditions, ULONGLONG now,
                  WatchTrigger* trigger, bool* failed) {
  if (watch->walked && now - watch->lastAt < (ULONGLONG)conditions.deadlockMs) return false;
  std::vector<std::vector<DWORD>> cycles;
  *failed = !FindCycles(report, pid, &cycles);
  if (*failed || g_interrupted != 0) return false;
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

// A process watched, and what its watch keeps from round to round.
struct ProcessInWatch {
  WatchedProcess process;
  CpuWatch cpu;
};

// What one watch keeps from round to round: every process watched (one,
// or with -p * every one that could be opened), by id.
struct Watch {
  int pid;  // kAllProcesses for every process
  const WatchConditions* conditions;
  WatchClock clock;
  WindowProbe windows;
  bool noWindowSaid = false;
  ULONGLONG lastCpuAt = 0;
  bool cpuRead = false;
  DeadlockWatch deadlock;
  std::map<int, ProcessInWatch> processes;
  // Processes that could not be opened: not tried again while they run.
  std::set<DWORD> passedOver;
  std::unique_ptr<ReportSink> quiet;
};

// Adds the processes started since the last round (-p *), and forgets
// those that have ended; passes over the tool's own.
void FollowProcesses(Watch* watch) {
  std::vector<DWORD> ids;
  DWORD bytes = 0;
  if (!ListProcessIds(&ids, &bytes)) return;
  ids.resize(bytes / sizeof(DWORD));
  std::set<DWORD> running(ids.begin(), ids.end());
  for (auto it = watch->processes.begin(); it != watch->processes.end();) {
    if (running.count((DWORD)it->first) != 0 && !HasEnded(it->second.process)) {
      ++it;
      continue;
    }
    watch->windows.pids.erase((DWORD)it->first);
    it = watch->processes.erase(it);
  }
  std::set<DWORD> stillPassedOver;
  for (DWORD id : ids) {
    if (id == 0 || id == GetCurrentProcessId() || watch->processes.count((int)id) != 0) continue;
    if (watch->passedOver.count(id) != 0) {
      stillPassedOver.insert(id);
      continue;
    }
    ProcessInWatch added;
    if (!OpenWatched((int)id, &added.process)) {
      stillPassedOver.insert(id);
      continue;
    }
    watch->processes[(int)id] = std::move(added);
    watch->windows.pids.insert(id);
  }
  watch->passedOver.swap(stillPassedOver);
}

// A round of window probes; true, with the trigger, when a thread's
// windows have been silent long enough (of the lowest process id first).
bool WindowsHung(ReportSink& report, Watch* watch, WatchTrigger* trigger, int* heldPid) {
  ProbeWindows(&watch->windows, watch->clock);
  if (watch->pid != kAllProcesses && !watch->noWindowSaid && watch->windows.lastAnswer.empty()) {
    report.NoWindowYet();
  }
  watch->noWindowSaid = true;
  ULONGLONG now = watch->clock.Now(), limit = (ULONGLONG)watch->conditions->hungMs;
  for (const auto& watched : watch->processes) {
    WindowSilence silence = MeasureSilence(watch->windows, (DWORD)watched.first, now);
    if (!silence.windows || silence.longest < limit) continue;
    bool none = silence.shortest >= limit;
    trigger->condition = HungCondition;
    trigger->tid = none ? 0 : silence.tid;
    trigger->ms = (unsigned)(none ? silence.shortest : silence.longest);
    *heldPid = watched.first;
    return true;
  }
  return false;
}

// Once a second: each process's processor time from one snapshot; true,
// with the trigger, for the lowest id whose share has stayed high.
bool ProcessorBusy(Watch* watch, WatchTrigger* trigger, int* heldPid) {
  ULONGLONG now = watch->clock.Now();
  if (watch->cpuRead && now - watch->lastCpuAt < kCpuStepMs) return false;
  watch->cpuRead = true;
  watch->lastCpuAt = now;
  KeptSnapshot kept;
  for (auto& watched : watch->processes) {
    ULONGLONG used = 0;
    if (!ReadThreadsTime(*watch->quiet, &kept, watched.first, watched.second.process.created, &used)) continue;
    if (CpuHeld(&watched.second.cpu, used, *watch->conditions, now, trigger)) {
      *heldPid = watched.first;
      return true;
    }
  }
  return false;
}

// Rounds until a condition holds or the watch ends otherwise.
WatchOutcome WatchRounds(ReportSink& report, Watch* watch, WatchTrigger* trigger, int* heldPid) {
  const WatchConditions& conditions = *watch->conditions;
  for (;;) {
    if (g_interrupted != 0) return WatchInterruptedOutcome;
    if (watch->pid == kAllProcesses) {
      FollowProcesses(watch);
    } else if (HasEnded(watch->processes.begin()->second.process)) {
      return ProcessEndedOutcome;
    }
    if (conditions.hung && WindowsHung(report, watch, trigger, heldPid)) return ConditionHeldOutcome;
    if (conditions.cpu && ProcessorBusy(watch, trigger, heldPid)) return ConditionHeldOutcome;
    bool failed = false;
    if (conditions.deadlock &&
        DeadlockHeld(report, &watch->deadlock, watch->pid, conditions, watch->clock.Now(), trigger, &failed)) {
      *heldPid = watch->pid;
      return ConditionHeldOutcome;
    }
    if (failed) return WatchFailedOutcome;
    if (g_interrupted != 0) return WatchInterruptedOutcome;
    Sleep(kRoundMs);
  }
}

// Opens the one process watched, and says the watch begins. False after a
// failure's line.
bool BeginWatch(ReportSink& report, Watch* watch) {
  if (watch->conditions->hung && !StartWindowProbe(&watch->windows)) {
    report.Failure("GetProcAddress", (int)GetLastError(), "user32.dll");
    return false;
  }
  if (!watch->clock.Start()) {
    report.Failure("QueryPerformanceCounter", (int)GetLastError());
    return false;
  }
  ImageText image;
  if (watch->pid != kAllProcesses) {
    ProcessInWatch watched;
    if (!OpenWatched(watch->pid, &watched.process)) {
      report.Failure("OpenProcess", (int)GetLastError());
      return false;
    }
    watch->processes[watch->pid] = std::move(watched);
    watch->windows.pids.insert((DWORD)watch->pid);
    ProcessThreads listed;
    if (SnapshotProcess(NULL, (DWORD)watch->pid, &listed) == ProcessListed) image = listed.image;
  }
  report.WatchBegins(watch->pid, image, watch->conditions->names);
  return true;
}

}  // namespace

WatchOutcome WatchProcess(ReportSink& report, int pid, const WatchConditions& conditions, int* heldPid) {
  Watch watch;
  watch.pid = pid;
  watch.conditions = &conditions;
  watch.quiet.reset(new ReportSink(std::unique_ptr<ReportForm>(new CycleForm), ""));
  if (!BeginWatch(report, &watch)) return WatchFailedOutcome;
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  WatchTrigger trigger;
  WatchOutcome outcome = WatchRounds(report, &watch, &trigger, heldPid);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  if (outcome == ConditionHeldOutcome) report.ConditionHeld(*heldPid, trigger);
  if (outcome == ProcessEndedOutcome) report.EndedBeforeCondition();
  return outcome;
}
