#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <vector>

#include "threadsift/Interrupt.h"
#include "threadsift/ProcessSession.h"
#include "threadsift/ProcessWalk.h"
#include "threadsift/ThreadCpu.h"
#include "threadsift/ThreadWalk.h"
#include "threadsift/WaitChain.h"

namespace {

const DWORD kInitialSweepIds = 1024;

// Prints every thread's header line and walks the selected ones; stops after
// the thread in hand when a break key was pressed. With waits (-w), the
// cycles of waiters follow when every thread was selected.
void WalkThreads(HANDLE process, int pid, int tid, const ThreadList& threads, const CpuSample& sample,
                 WaitChain* waits) {
  for (const ThreadRecord& thread : threads) {
    PrintThreadHeader(thread, sample);
    if (IsSelected(pid, tid, thread.tid) && !WalkThread(process, (DWORD)pid, thread.tid, waits)) {
      printf("WalkThread %d error %d\n", (int)thread.tid, (int)GetLastError());
    }
    printf("\n");
    if (g_interrupted != 0) break;
  }
  if (waits != NULL && tid == kAllThreads) PrintDeadlocks(*waits);
}

// Lists the modules and walks the threads. Sets *complete when the walk got
// through its thread loop.
bool WalkModulesAndThreads(HANDLE process, int pid, int tid, const ThreadList& threads, const CpuSample& sample,
                           WaitChain* waits, bool* complete) {
  printf("\n");
  ModuleTableOutcome outcome = PrepareToHoldThreads(process, pid, true);
  if (outcome == Failed) return false;
  if (outcome == SymbolLoadFailed) return true;
  printf("\n");
  WalkThreads(process, pid, tid, threads, sample, waits);
  *complete = true;
  return true;
}

struct WalkSettings {
  int tid;
  int cpuInterval;
  bool waits;
};

// The part of a process walk that runs with the symbol handler started.
bool WalkWithSymbols(HANDLE process, int pid, void* context, bool* complete) {
  const WalkSettings* settings = (const WalkSettings*)context;
  ProcessThreads listed;
  if (!ListProcessThreads(pid, &listed)) return false;
  CpuSample sample;
  sample.taken = false;
  if (settings->cpuInterval > 0) TakeSecondSnapshot((DWORD)pid, settings->cpuInterval, &sample);
  WaitChain waits = {&listed.threads, {}};
  return WalkModulesAndThreads(process, pid, settings->tid, listed.threads, sample,
                               settings->waits ? &waits : NULL, complete);
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

}  // namespace

bool WalkProcess(int pid, int tid, int cpuInterval, bool waits) {
  WalkSettings settings = {tid, cpuInterval, waits};
  return WithSymbolHandler(pid, WalkWithSymbols, &settings);
}

bool WalkAllProcesses(int cpuInterval, bool waits) {
  std::vector<DWORD> ids;
  DWORD bytes = 0;
  if (!ListProcessIds(&ids, &bytes)) {
    printf("EnumProcesses error %d\n", (int)GetLastError());
    return false;
  }
  int count = (int)(bytes / 4);
  for (int pos = 0; pos < count; ++pos) {
    int pid = (int)ids[pos];
    if (pid == 0) continue;
    WalkProcess(pid, kAllThreads, cpuInterval, waits);
    // A break key ends the sweep with the process in hand.
    if (g_interrupted != 0) break;
    if (pos < count - 1) {
      printf("******************************************************************************\n");
    }
  }
  printf("%d process(es) found\n", count);
  return true;
}
