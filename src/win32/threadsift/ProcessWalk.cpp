#include <windows.h>
#include <psapi.h>

#include <vector>

#include "threadsift/Interrupt.h"
#include "threadsift/ProcessSession.h"
#include "threadsift/ProcessWalk.h"
#include "threadsift/ReportSink.h"
#include "threadsift/ScopedHandle.h"
#include "threadsift/ThreadCpu.h"
#include "threadsift/ThreadOpen.h"
#include "threadsift/ThreadWalk.h"
#include "threadsift/WaitChain.h"

namespace {

const DWORD kInitialSweepIds = 1024;

// Prints a thread's header line and, when it is selected, walks it.
void WalkListedThread(HANDLE process, int pid, int tid, const ThreadRecord& thread, const CpuSample& sample,
                      WaitChain* waits) {
  bool selected = IsSelected(pid, tid, thread.tid);
  ThreadOpening opened = {(DWORD)pid, thread.tid, NULL, "", 0};
  if (selected) opened.handle = OpenThreadQuietly(kThreadAllAccess, (DWORD)pid, thread.tid, &opened.failedCall);
  opened.error = GetLastError();
  ScopedHandle openedOwner(opened.handle);
  PrintThreadHeader(thread, sample);
  if (selected && !WalkThread(process, opened, waits)) {
    ReportWalkThreadFailure(thread.tid, (int)GetLastError());
  }
  EndThreadReport();
}

// Prints every thread's header line and walks the selected ones; stops after
// the thread in hand when a break key was pressed. With waits (-w), the
// cycles of waiters follow when every thread was selected.
void WalkThreads(HANDLE process, int pid, int tid, const ProcessThreads& listed, const CpuSample& sample,
                 WaitChain* waits) {
  for (const ThreadRecord& thread : listed.threads) {
    WalkListedThread(process, pid, tid, thread, sample, waits);
    if (g_interrupted != 0) break;
  }
  if (waits != NULL && tid == kAllThreads) PrintDeadlocks(*waits);
}

// Lists the modules and walks the threads. Sets *complete when the walk got
// through its thread loop.
bool WalkModulesAndThreads(HANDLE process, int pid, int tid, const ProcessThreads& listed, const CpuSample& sample,
                           WaitChain* waits, bool* complete) {
  ReportEmptyLine();
  ModuleTableOutcome outcome = PrepareToHoldThreads(process, pid, true);
  if (outcome == Failed) return false;
  if (outcome == SymbolLoadFailed) return true;
  BeginThreadsReport();
  WalkThreads(process, pid, tid, listed, sample, waits);
  *complete = true;
  return true;
}

struct WalkSettings {
  int tid;
  int cpuInterval;
  bool inSweep;
  bool waits;
};

// Takes the second snapshot of -c with the console control handler in
// place, so that a break key during the interval ends the report of the
// process instead of the tool. False when one did.
bool MeasureInterval(int pid, int intervalMs, const ProcessThreads& first, CpuSample* sample) {
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  TakeSecondSnapshot((DWORD)pid, intervalMs, first, sample);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  return g_interrupted == 0;
}

// The part of a process walk that runs with the symbol handler started.
bool WalkWithSymbols(HANDLE process, int pid, void* context, bool* complete) {
  const WalkSettings* settings = (const WalkSettings*)context;
  bool measured = settings->cpuInterval > 0;
  // A sweep lists each process from a snapshot kept across processes, but
  // with -c, whose figures start at the snapshot that lists the threads.
  ThreadListing listing = measured ? TimedSnapshot : settings->inSweep ? SweepSnapshot : OwnSnapshot;
  ProcessThreads listed;
  if (!ListProcessThreads(pid, listing, &listed)) {
    // The tool's own process has no stacks to show: without its thread
    // list it is passed over without a word.
    return (DWORD)pid == GetCurrentProcessId() || ReportMissingThreadList(pid);
  }
  CpuSample sample;
  sample.taken = false;
  if (measured && !MeasureInterval(pid, settings->cpuInterval, listed, &sample)) return true;
  WaitChain waits = {&listed.threads, {}};
  return WalkModulesAndThreads(process, pid, settings->tid, listed, sample, settings->waits ? &waits : NULL, complete);
}

// Fills ids with every process id, growing the buffer until all of them fit.
bool ListProcessIds(std::vector<DWORD>* ids, DWORD* bytes) {
  ids->resize(kInitialSweepIds);
  for (;;) {
    DWORD size = (DWORD)(ids->size() * sizeof(DWORD));
    if (!EnumProcesses(ids->data(), size, bytes)) return false;
    if (*bytes < size) return true;
    ids->resize(ids->size() * 2);
  }
}

bool WalkProcessOf(int pid, int tid, int cpuInterval, bool waits, bool inSweep) {
  WalkSettings settings = {tid, cpuInterval, inSweep, waits};
  BeginProcessReport(pid);
  bool done = WithSymbolHandler(pid, WalkWithSymbols, &settings);
  EndProcessReport();
  return done;
}

}  // namespace

bool WalkProcess(int pid, int tid, int cpuInterval, bool waits) {
  return WalkProcessOf(pid, tid, cpuInterval, waits, false);
}

bool WalkAllProcesses(int cpuInterval, bool waits) {
  std::vector<DWORD> ids;
  DWORD bytes = 0;
  if (!ListProcessIds(&ids, &bytes)) {
    ReportFailure("EnumProcesses", (int)GetLastError());
    return false;
  }
  int count = (int)(bytes / 4);
  for (int pos = 0; pos < count; ++pos) {
    int pid = (int)ids[pos];
    if (pid == 0) continue;
    WalkProcessOf(pid, kAllThreads, cpuInterval, waits, true);
    // A break key ends the sweep with the process in hand.
    if (g_interrupted != 0) break;
    if (pos < count - 1) ReportProcessSeparator();
  }
  ReleaseSweepSnapshot();
  ReportProcessCount(count);
  return true;
}
