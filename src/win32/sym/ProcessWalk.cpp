#include <windows.h>
#include <imagehlp.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sym/Interrupt.h"
#include "sym/MemoryCache.h"
#include "sym/ModuleTable.h"
#include "sym/ProcessSnapshot.h"
#include "sym/ProcessWalk.h"
#include "sym/ScopedHandle.h"
#include "sym/ThreadCpu.h"
#include "sym/ThreadWalk.h"

namespace {

// Every access right to a process as NT 4.0 and 2000 define it.
const DWORD kProcessAllAccess = 0x1F0FFF;
// Deferred loads, line information and nearest OMAP match; names stay decorated.
const DWORD kSymbolOptions = 0x34;
const DWORD kInitialSweepIds = 1024;

// Prints every thread's header line and walks the selected ones; stops after
// the thread in hand when a break key was pressed.
void WalkThreads(HANDLE process, int pid, int tid, const DWORD* threads, const CpuSample& sample) {
  for (const DWORD* id = threads; *id != 0; ++id) {
    PrintThreadHeader(*id, sample);
    if (IsSelected(pid, tid, *id) && !WalkThread(process, (DWORD)pid, *id)) {
      printf("WalkThread %d error %d\n", (int)*id, (int)GetLastError());
    }
    printf("\n");
    if (g_interrupted != 0) break;
  }
}

// Lists the modules and walks the threads. Sets *complete when the walk got
// through its thread loop.
int WalkModulesAndThreads(HANDLE process, int pid, int tid, const DWORD* threads, const CpuSample& sample,
                          bool* complete) {
  printf("\n");
  ModuleTableOutcome outcome = PrepareToHoldThreads(process, pid, true);
  if (outcome == Failed) return 1;
  if (outcome == SymbolLoadFailed) return 0;
  printf("\n");
  WalkThreads(process, pid, tid, threads, sample);
  *complete = true;
  return 0;
}

struct WalkSettings {
  int tid;
  int cpuInterval;
};

// Takes the second snapshot of -c with the console control handler in
// place, so that a break key during the interval ends the report of the
// process instead of the tool. False when one did.
bool MeasureInterval(int pid, int intervalMs, CpuSample* sample) {
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  TakeSecondSnapshot((DWORD)pid, intervalMs, sample);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  return g_interrupted == 0;
}

// The part of a process walk that runs with the symbol handler started.
int WalkWithSymbols(HANDLE process, int pid, void* context, bool* complete) {
  const WalkSettings* settings = (const WalkSettings*)context;
  CpuSample sample;
  sample.taken = false;
  DWORD* threads = EnumProcessThreads((DWORD)pid, settings->cpuInterval > 0 ? &sample.first : NULL);
  // The tool's own process has no stacks to show: without its thread list
  // it is passed over without a word, as it always was.
  if (threads == NULL && (DWORD)pid == GetCurrentProcessId()) return 0;
  if (threads == NULL) return ReportMissingThreadList(pid);
  if (settings->cpuInterval > 0 && !MeasureInterval(pid, settings->cpuInterval, &sample)) {
    free(threads);
    return 0;
  }
  int result = WalkModulesAndThreads(process, pid, settings->tid, threads, sample, complete);
  free(threads);
  return result;
}

// Fills ids with every process id, growing the buffer until all of them fit.
BOOL ListProcessIds(std::vector<DWORD>* ids, DWORD* bytes) {
  ids->resize(kInitialSweepIds);
  for (;;) {
    DWORD size = (DWORD)(ids->size() * sizeof(DWORD));
    if (!EnumProcesses(ids->data(), size, bytes)) return FALSE;
    if (*bytes < size) return TRUE;
    ids->resize(ids->size() * 2);
  }
}

}  // namespace

bool IsSelected(int pid, int tid, DWORD id) {
  // The tool's own threads are listed but never walked: a thread that
  // suspended itself would never be resumed, and any other of them (the
  // platform starts loader and console threads in it) may hold a lock that
  // the walk needs.
  if ((DWORD)pid == GetCurrentProcessId()) return false;
  return tid == kAllThreads || (DWORD)tid == id;
}

ModuleTableOutcome PrepareToHoldThreads(HANDLE process, int pid, bool listed) {
  ModuleTableOutcome outcome = BuildModuleTable(process, pid, listed);
  if (outcome != Built) return outcome;
  ForgetProcessPages();
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  return Built;
}

int ReportMissingThreadList(int pid) {
  printf("[%d] EnumProcessThreads pid %d error %d\n", (int)GetCurrentProcessId(), pid, (int)GetLastError());
  return 1;
}

int WithSymbolHandler(int pid, ProcessWork work, void* context) {
  HANDLE process = OpenProcess(kProcessAllAccess, FALSE, (DWORD)pid);
  if (process == NULL) {
    printf("OpenProcess error %d\n", (int)GetLastError());
    return 1;
  }
  ScopedHandle processOwner(process);
  if (!SymInitialize(process, NULL, FALSE)) {
    printf("SymInitialize error %d\n", (int)GetLastError());
    return 1;
  }

  bool complete = false;
  int result = 1;
  if (SymSetOptions(kSymbolOptions) == 0) {
    printf("SymSetOptions error %d\n", (int)GetLastError());
  } else {
    result = work(process, pid, context, &complete);
  }
  if (!complete) {
    // The early end has printed its lines; the cleanup adds none.
    SymCleanup(process);
    return result;
  }
  int cleaned = SymCleanup(process);
  if (!cleaned) printf("SymCleanup error %d\n", (int)GetLastError());
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  return cleaned ? result : 1;
}

int WalkProcess(int pid, int tid, int cpuInterval) {
  WalkSettings settings = {tid, cpuInterval};
  return WithSymbolHandler(pid, WalkWithSymbols, &settings);
}

int WalkAllProcesses(int cpuInterval) {
  std::vector<DWORD> ids;
  DWORD bytes = 0;
  if (!ListProcessIds(&ids, &bytes)) {
    printf("EnumProcesses error %d\n", (int)GetLastError());
    return 1;
  }
  int count = (int)(bytes / 4);
  for (int pos = 0; pos < count; ++pos) {
    int pid = (int)ids[pos];
    if (pid == 0) continue;
    WalkProcess(pid, kAllThreads, cpuInterval);
    // A break key ends the sweep with the process in hand.
    if (g_interrupted != 0) break;
    if (pos < count - 1) {
      printf("******************************************************************************\n");
    }
  }
  printf("%d process(es) found\n", count);
  return 0;
}
