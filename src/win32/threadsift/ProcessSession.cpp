#include <windows.h>
#include <imagehlp.h>

#include <cstdio>

#include "threadsift/Interrupt.h"
#include "threadsift/MemoryCache.h"
#include "threadsift/ProcessSession.h"
#include "threadsift/ReportSink.h"
#include "threadsift/ScopedHandle.h"
#include "threadsift/SymbolSession.h"

namespace {

// Every access right to a process as NT 4.0 and 2000 define it.
const DWORD kProcessAllAccess = 0x1F0FFF;
// Deferred loads, line information and nearest OMAP match; names stay decorated.
const DWORD kSymbolOptions = 0x34;

}  // namespace

bool WithSymbolHandler(int pid, ProcessWork work, void* context) {
  HANDLE process = OpenProcess(kProcessAllAccess, FALSE, (DWORD)pid);
  if (process == NULL) {
    ReportFailure("OpenProcess", (int)GetLastError());
    return false;
  }
  ScopedHandle processOwner(process);
  if (!StartSymbols(process)) {
    ReportFailure("SymInitialize", (int)GetLastError());
    return false;
  }

  bool complete = false;
  bool done = false;
  if (SymSetOptions(kSymbolOptions) == 0) {
    ReportFailure("SymSetOptions", (int)GetLastError());
  } else {
    done = work(process, pid, context, &complete);
  }
  if (!complete) {
    // The early end has printed its lines; the cleanup adds none.
    EndSymbols(process);
    return done;
  }
  bool cleaned = EndSymbols(process);
  if (!cleaned) ReportFailure("SymCleanup", (int)GetLastError());
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  return cleaned && done;
}

SnapshotOutcome TakeThreadList(int pid, ThreadListing listing, ProcessThreads* listed) {
  return listing == SweepSnapshot ? SnapshotProcessInSweep((DWORD)pid, listed)
                                  : SnapshotProcess((DWORD)pid, listed, true, listing == TimedSnapshot);
}

bool PrintThreadListHeader(int pid, SnapshotOutcome outcome, const ProcessThreads& listed) {
  if (outcome == ProcessListed || outcome == NoRoomForThreads)
    ReportProcessHeader(pid, listed.image, listed.threadCount);
  if (outcome == NoRoomForThreads) {
    ReportAllocationFailure(listed.threadCount * sizeof(ThreadRecord));
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return outcome == ProcessListed;
}

bool ListProcessThreads(int pid, ThreadListing listing, ProcessThreads* listed) {
  return PrintThreadListHeader(pid, TakeThreadList(pid, listing, listed), *listed);
}

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
  ForgetProcessPages(process);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  return Built;
}

bool ReportMissingThreadList(int pid) {
  ReportMissingThreads(pid, (int)GetLastError());
  return false;
}
