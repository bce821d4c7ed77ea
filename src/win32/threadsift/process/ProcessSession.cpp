#include <windows.h>
#include <imagehlp.h>

#include <cstdio>

#include "threadsift/base/Interrupt.h"
#include "threadsift/process/ProcessSession.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/base/ScopedHandle.h"

namespace {

// Every access right to a process as NT 4.0 and 2000 define it.
const DWORD kProcessAllAccess = 0x1F0FFF;
// Deferred loads, line information and nearest OMAP match; names stay
// decorated. The 64-bit build also loads 32-bit modules, for the 32-bit
// processes it walks (the image help library passes them over otherwise).
const DWORD kSymbolOptions = 0x34 | (kToolWidth == Width64 ? 0x2000 : 0);

// When the process was created, in 100 ns units; 0 when that cannot be had.
ULONGLONG CreationTimeOf(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime;
}

}  // namespace

bool WithSymbolHandler(ReportSink& report, int pid, LineLookup lineLookup, SymbolSession* shared,
                       const ProcessWork& work) {
  HANDLE handle = OpenProcess(kProcessAllAccess, FALSE, (DWORD)pid);
  if (handle == NULL) {
    report.Failure("OpenProcess", (int)GetLastError());
    return false;
  }
  ScopedHandle processOwner(handle);
  SymbolSession own;
  bool sharing = shared != NULL && IsOpen(*shared);
  if (!sharing && !OpenOwnSymbols(handle, &own)) {
    report.Failure("SymInitialize", (int)GetLastError());
    return false;
  }
  ExaminedProcess process;
  process.handle = handle;
  process.pid = pid;
  process.symbols = sharing ? shared : &own;
  process.lineLookup = lineLookup;

  bool complete = false;
  bool done = false;
  if (SymSetOptions(kSymbolOptions) == 0) {
    report.Failure("SymSetOptions", (int)GetLastError());
  } else {
    done = work(process, &complete);
  }
  if (!complete) {
    // The early end has said its lines; the cleanup adds none.
    CloseSymbols(&own);
    return done;
  }
  bool cleaned = CloseSymbols(&own);
  if (!cleaned) report.Failure("SymCleanup", (int)GetLastError());
  SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  return cleaned && done;
}

SnapshotOutcome TakeThreadList(ReportSink& report, const ExaminedProcess& process, ThreadListing listing,
                               KeptSnapshot* kept, ProcessThreads* listed) {
  DWORD pid = (DWORD)process.pid;
  if (listing != SweepSnapshot) return SnapshotProcess(&report, pid, listed, listing == TimedSnapshot);
  return SnapshotProcessInSweep(report, kept, pid, CreationTimeOf(process.handle), listed);
}

bool PrintThreadListHeader(ReportSink& report, int pid, SnapshotOutcome outcome, const ProcessThreads& listed) {
  if (outcome == ProcessListed || outcome == NoRoomForThreads) report.ProcessHeader(pid, listed.image, listed.threadCount);
  if (outcome == NoRoomForThreads) {
    report.AllocationFailure(listed.threadCount * sizeof(ThreadRecord));
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return outcome == ProcessListed;
}

bool ListProcessThreads(ReportSink& report, int pid, ProcessThreads* listed) {
  return PrintThreadListHeader(report, pid, SnapshotProcess(&report, (DWORD)pid, listed), *listed);
}

bool IsSelected(int pid, int tid, DWORD id) {
  // The tool's own threads are listed but never walked: a thread that
  // suspended itself would never be resumed, and any other of them (the
  // platform starts loader and console threads in it) may hold a lock that
  // the walk needs.
  if ((DWORD)pid == GetCurrentProcessId()) return false;
  return tid == kAllThreads || (DWORD)tid == id;
}

ModuleTableOutcome PrepareToHoldThreads(ExaminedProcess& process, ReportSink& report, bool listed) {
  ModuleTableOutcome outcome = BuildModuleTable(process, report, listed);
  if (outcome != Built) return outcome;
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  return Built;
}

bool ReportMissingThreadList(ReportSink& report, int pid) {
  report.MissingThreads(pid, (int)GetLastError());
  return false;
}
