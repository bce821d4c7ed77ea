#include <windows.h>
#include <psapi.h>

#include <vector>

#include "threadsift/base/Interrupt.h"
#include "threadsift/process/ProcessSession.h"
#include "threadsift/process/ProcessWalk.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/base/ScopedHandle.h"
#include "threadsift/thread/ThreadCpu.h"
#include "threadsift/thread/ThreadOpen.h"
#include "threadsift/thread/ThreadWalk.h"
#include "threadsift/waits/WaitChain.h"

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

// True when the opening says the thread has ended: it can no longer be
// opened, or it can (a handle keeps it) but gives its exit status. An ended
// thread's handle is closed.
bool EndedSinceListed(ThreadOpening* opening) {
  if (opening->handle == NULL) return opening->error == ERROR_INVALID_PARAMETER;
  if (!HasEnded(opening->handle)) return false;
  CloseHandle(opening->handle);
  opening->handle = NULL;
  return true;
}

// Opens the threads listed from a snapshot kept from an earlier process, and
// passes over those that have ended since: the report is the one a snapshot
// taken for this process would give.
void PassOverEndedThreads(int pid, int tid, ProcessThreads* listed, OpenedThreads* opened) {
  ThreadList alive;
  alive.reserve(listed->threads.size());
  opened->list.reserve(listed->threads.size());
  for (const ThreadRecord& thread : listed->threads) {
    ThreadOpening opening = OpenListedThread(pid, tid, thread.tid);
    bool selected = IsSelected(pid, tid, thread.tid);
    if (selected && EndedSinceListed(&opening)) {
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
void WalkListedThread(ExaminedProcess& process, ReportSink& report, const WalkOptions& options,
                      const ThreadRecord& thread, const ThreadOpening* early, const CpuSample& sample,
                      WaitChain* waits) {
  int pid = process.pid;
  int tid = options.tid;
  ThreadOpening opened = early != NULL ? *early : OpenListedThread(pid, tid, thread.tid);
  ScopedHandle openedOwner(early != NULL ? NULL : opened.handle);
  PrintThreadHeader(report, thread, sample);
  // Every thread is asked for without -t, the tool's own too, which is
  // listed but never walked.
  if (tid == kAllThreads || IsSelected(pid, tid, thread.tid)) report.SelectThread();
  if (IsSelected(pid, tid, thread.tid) &&
      !WalkThread(process, report, opened, waits, options.described, options.nameQuery)) {
    report.WalkThreadFailure(thread.tid, (int)GetLastError());
  }
  report.EndThread();
}

// Prints every thread's header line and walks the selected ones; stops after
// the thread in hand when a break key was pressed. With waits (-w), the
// cycles of waiters follow when every thread was selected.
void WalkThreads(ExaminedProcess& process, ReportSink& report, const WalkOptions& options, const ProcessThreads& listed,
                 const OpenedThreads& opened, const CpuSample& sample, WaitChain* waits) {
  for (size_t i = 0; i < listed.threads.size(); ++i) {
    const ThreadOpening* early = i < opened.list.size() ? &opened.list[i] : NULL;
    WalkListedThread(process, report, options, listed.threads[i], early, sample, waits);
    if (g_interrupted != 0) break;
  }
  if (waits != NULL && options.tid == kAllThreads) PrintDeadlocks(process, report, *waits);
}

// Lists the modules and walks the threads. Sets *complete when the walk got
// through its thread loop.
bool WalkModulesAndThreads(ExaminedProcess& process, ReportSink& report, const WalkOptions& options,
                           const ProcessThreads& listed, const OpenedThreads& opened, const CpuSample& sample,
                           WaitChain* waits, bool* complete) {
  report.EmptyLine();
  ModuleTableOutcome outcome = PrepareToHoldThreads(process, report, true);
  if (outcome == Failed) return false;
  if (outcome == SymbolLoadFailed) return true;
  report.BeginThreads();
  WalkThreads(process, report, options, listed, opened, sample, waits);
  *complete = true;
  return true;
}

// Takes the second snapshot of -c with the console control handler in
// place, so that a break key during the interval ends the report of the
// process instead of the tool. False when one did.
bool MeasureInterval(ReportSink& report, int pid, int intervalMs, const ProcessThreads& first, CpuSample* sample) {
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  TakeSecondSnapshot(report, (DWORD)pid, intervalMs, first, sample);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  return g_interrupted == 0;
}

// The part of a process walk that runs with the symbol handler started;
// sweep is null outside a sweep.
bool WalkWithSymbols(ExaminedProcess& process, ReportSink& report, const WalkOptions& options, SweepShared* sweep,
                     bool* complete) {
  int pid = process.pid;
  bool measured = options.cpuInterval > 0;
  // A sweep lists each process from a snapshot kept across processes, but
  // with -c, whose figures start at the snapshot that lists the threads.
  ThreadListing listing = measured ? TimedSnapshot : sweep != NULL ? SweepSnapshot : OwnSnapshot;
  ProcessThreads listed;
  SnapshotOutcome outcome =
      TakeThreadList(report, process, listing, sweep != NULL ? &sweep->snapshot : NULL, &listed);
  OpenedThreads opened;
  if (outcome == ProcessListed && listed.kept) PassOverEndedThreads(pid, options.tid, &listed, &opened);
  if (!PrintThreadListHeader(report, pid, outcome, listed)) {
    // The tool's own process has no stacks to show: without its thread
    // list it is passed over without a word.
    return (DWORD)pid == GetCurrentProcessId() || ReportMissingThreadList(report, pid);
  }
  CpuSample sample;
  sample.taken = false;
  if (measured && !MeasureInterval(report, pid, options.cpuInterval, listed, &sample)) return true;
  WaitChain waits = {&listed.threads, {}};
  return WalkModulesAndThreads(process, report, options, listed, opened, sample, options.waits ? &waits : NULL,
                               complete);
}

bool WalkProcessOf(ReportSink& report, int pid, const WalkOptions& options, SweepShared* sweep) {
  report.BeginProcess(pid);
  auto work = [&](ExaminedProcess& process, bool* complete) {
    return WalkWithSymbols(process, report, options, sweep, complete);
  };
  bool done = WithSymbolHandler(report, pid, options.lineLookup, sweep != NULL ? &sweep->symbols : NULL, work);
  report.EndProcess(g_interrupted != 0);
  return done;
}

}  // namespace

bool ListProcessIds(std::vector<DWORD>* ids, DWORD* bytes) {
  ids->resize(kInitialSweepIds);
  for (;;) {
    DWORD size = (DWORD)(ids->size() * sizeof(DWORD));
    if (!EnumProcesses(ids->data(), size, bytes)) return false;
    if (*bytes < size) return true;
    ids->resize(ids->size() * 2);
  }
}

bool WalkProcess(ReportSink& report, int pid, const WalkOptions& options) {
  return WalkProcessOf(report, pid, options, NULL);
}

bool WalkAllProcesses(ReportSink& report, const WalkOptions& options) {
  std::vector<DWORD> ids;
  DWORD bytes = 0;
  if (!ListProcessIds(&ids, &bytes)) {
    report.Failure("EnumProcesses", (int)GetLastError());
    return false;
  }
  int count = (int)(bytes / 4);
  WalkOptions everyThread = options;
  everyThread.tid = kAllThreads;
  SweepShared sweep;
  // Without a shared session each process gets its own, as outside a sweep.
  OpenSharedSymbols(&sweep.symbols);
  for (int pos = 0; pos < count; ++pos) {
    int pid = (int)ids[pos];
    if (pid == 0) continue;
    WalkProcessOf(report, pid, everyThread, &sweep);
    // A break key ends the sweep with the process in hand.
    if (g_interrupted != 0) break;
    if (pos < count - 1) report.ProcessSeparator();
  }
  // Nothing of the sweep's report depends on the end of the shared session.
  CloseSymbols(&sweep.symbols);
  report.ProcessCount(count);
  return true;
}
