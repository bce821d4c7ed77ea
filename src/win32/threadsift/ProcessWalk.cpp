#include <windows.h>
#include <psapi.h>

#include <vector>

#include "threadsift/Interrupt.h"
#include "threadsift/ProcessSession.h"
#include "threadsift/ProcessWalk.h"
#include "threadsift/ReportSink.h"
#include "threadsift/ScopedHandle.h"
#include "threadsift/SymbolSession.h"
#include "threadsift/ThreadCpu.h"
#include "threadsift/ThreadOpen.h"
#include "threadsift/ThreadWalk.h"
#include "threadsift/WaitChain.h"

namespace {

const DWORD kInitialSweepIds = 1024;

// Opens a listed thread when it is selected (the handle, when there is one,
// is the caller's to close).
ThreadOpening OpenListedThread(int pid, int tid, DWORD id) {
  ThreadOpening opened = {(DWORD)pid, id, NULL, "", 0};
  if (IsSelected(pid, tid, id)) opened.handle = OpenThreadQuietly(kThreadAllAccess, (DWORD)pid, id, &opened.failedCall);
  opened.error = GetLastError();
  return opened;
}

// Threads opened before the process's header line; their handles are closed
// when the walk of the process ends, however it ends.
struct OpenedThreads {
  std::vector<ThreadOpening> list;  // one for each listed thread, when not empty
  ~OpenedThreads() {
    for (const ThreadOpening& opened : list) {
      if (opened.handle != NULL) CloseHandle(opened.handle);
    }
  }
};

// Opens the threads listed from a snapshot kept from an earlier process, and
// passes over those that have ended since (they can no longer be opened):
// the report is the one a snapshot taken for this process would give.
void PassOverEndedThreads(int pid, int tid, ProcessThreads* listed, OpenedThreads* opened) {
  ThreadList alive;
  alive.reserve(listed->threads.size());
  opened->list.reserve(listed->threads.size());
  for (const ThreadRecord& thread : listed->threads) {
    ThreadOpening opening = OpenListedThread(pid, tid, thread.tid);
    bool selected = IsSelected(pid, tid, thread.tid);
    if (selected && opening.handle == NULL && opening.error == ERROR_INVALID_PARAMETER) {
      if (listed->threadCount > 0) --listed->threadCount;
      continue;
    }
    alive.push_back(thread);
    opened->list.push_back(opening);
  }
  listed->threads.swap(alive);
}

// Prints a thread's header line and, when it is selected, walks it. The
// thread is opened here unless it was opened before the header line.
void WalkListedThread(HANDLE process, int pid, int tid, const ThreadRecord& thread, const ThreadOpening* early,
                      const CpuSample& sample, WaitChain* waits) {
  ThreadOpening opened = early != NULL ? *early : OpenListedThread(pid, tid, thread.tid);
  ScopedHandle openedOwner(early != NULL ? NULL : opened.handle);
  PrintThreadHeader(thread, sample);
  if (IsSelected(pid, tid, thread.tid) && !WalkThread(process, opened, waits)) {
    ReportWalkThreadFailure(thread.tid, (int)GetLastError());
  }
  EndThreadReport();
}

// Prints every thread's header line and walks the selected ones; stops after
// the thread in hand when a break key was pressed. With waits (-w), the
// cycles of waiters follow when every thread was selected.
void WalkThreads(HANDLE process, int pid, int tid, const ProcessThreads& listed, const OpenedThreads& opened,
                 const CpuSample& sample, WaitChain* waits) {
  for (size_t i = 0; i < listed.threads.size(); ++i) {
    const ThreadOpening* early = i < opened.list.size() ? &opened.list[i] : NULL;
    WalkListedThread(process, pid, tid, listed.threads[i], early, sample, waits);
    if (g_interrupted != 0) break;
  }
  if (waits != NULL && tid == kAllThreads) PrintDeadlocks(*waits);
}

// Lists the modules and walks the threads. Sets *complete when the walk got
// through its thread loop.
bool WalkModulesAndThreads(HANDLE process, int pid, int tid, const ProcessThreads& listed, const OpenedThreads& opened,
                           const CpuSample& sample, WaitChain* waits, bool* complete) {
  ReportEmptyLine();
  ModuleTableOutcome outcome = PrepareToHoldThreads(process, pid, true);
  if (outcome == Failed) return false;
  if (outcome == SymbolLoadFailed) return true;
  BeginThreadsReport();
  WalkThreads(process, pid, tid, listed, opened, sample, waits);
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
  SnapshotOutcome outcome = TakeThreadList(pid, listing, &listed);
  OpenedThreads opened;
  if (outcome == ProcessListed && listed.kept) PassOverEndedThreads(pid, settings->tid, &listed, &opened);
  if (!PrintThreadListHeader(pid, outcome, listed)) {
    // The tool's own process has no stacks to show: without its thread
    // list it is passed over without a word.
    return (DWORD)pid == GetCurrentProcessId() || ReportMissingThreadList(pid);
  }
  CpuSample sample;
  sample.taken = false;
  if (measured && !MeasureInterval(pid, settings->cpuInterval, listed, &sample)) return true;
  WaitChain waits = {&listed.threads, {}};
  return WalkModulesAndThreads(process, pid, settings->tid, listed, opened, sample, settings->waits ? &waits : NULL,
                               complete);
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
  // Without a shared session each process gets its own, as outside a sweep.
  OpenSharedSymbols();
  for (int pos = 0; pos < count; ++pos) {
    int pid = (int)ids[pos];
    if (pid == 0) continue;
    WalkProcessOf(pid, kAllThreads, cpuInterval, waits, true);
    // A break key ends the sweep with the process in hand.
    if (g_interrupted != 0) break;
    if (pos < count - 1) ReportProcessSeparator();
  }
  ReleaseSweepSnapshot();
  CloseSharedSymbols();
  ReportProcessCount(count);
  return true;
}
