#ifndef THREADSIFT_PROCESS_SESSION_H
#define THREADSIFT_PROCESS_SESSION_H

#include <windows.h>

#include <functional>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/modules/ModuleTable.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "threadsift/modules/SymbolSession.h"

class ReportSink;

// What the report of a process and the sampling of one share: the process
// opened with its symbol handler, its thread list and header line, its
// modules registered, and which of its threads may be held.

// Selects every thread of a process.
const int kAllThreads = -1;
const int kAllProcesses = -1;

// What a sweep's processes share: the snapshot kept from one process to the
// next, and the symbol session (not open when it could not be: each
// process then gets one of its own). Made by the sweep, freed with it.
struct SweepShared {
  KeptSnapshot snapshot;
  SymbolSession symbols;
};

// What is done to a process once its symbol handler is started. False on
// failure; sets *complete when it got through to its end. It registers the
// console control handler once it is about to hold threads.
typedef std::function<bool(ExaminedProcess& process, bool* complete)> ProcessWork;

// Opens process pid, starts its symbol handler (the sweep's shared session
// when shared is open, else one of its own) and does the work with the
// process, whose source lines are found with lineLookup. After a complete
// work the handler's end is checked (a failure says a line and fails) and
// the console control handler is removed; after an early end the symbol
// handler is ended without a word. False on failure.
bool WithSymbolHandler(ReportSink& report, int pid, LineLookup lineLookup, SymbolSession* shared,
                       const ProcessWork& work);

// Where a process's thread list comes from: a snapshot of its own, the same
// timed (for -c, whose figures start there), or the snapshot a sweep keeps.
enum ThreadListing { OwnSnapshot, TimedSnapshot, SweepSnapshot };

// Lists the threads of process pid from a snapshot of its own and says its
// header line. False when the list could not be had (the caller reports it;
// see ReportMissingThreadList), after the snapshot's own lines.
bool ListProcessThreads(ReportSink& report, int pid, ProcessThreads* listed);

// The same in two steps, for a caller that looks at the list before the
// header line: the snapshot (its failures say their own lines; kept is the
// sweep's, for SweepSnapshot, whose record must be of the process opened),
// then the header line, or the line of a list without memory.
SnapshotOutcome TakeThreadList(ReportSink& report, const ExaminedProcess& process, ThreadListing listing,
                               KeptSnapshot* kept, ProcessThreads* listed);
bool PrintThreadListHeader(ReportSink& report, int pid, SnapshotOutcome outcome, const ProcessThreads& listed);

// True when thread id of process pid is to be walked (or sampled) with the
// thread selector tid; never for a thread of the tool's own process.
bool IsSelected(int pid, int tid, DWORD id);

// Builds the process's module table (listed or not; see BuildModuleTable)
// and registers the console control handler: threads of the process can be
// held from then on.
ModuleTableOutcome PrepareToHoldThreads(ExaminedProcess& process, ReportSink& report, bool listed);

// Says the line for a process whose thread list could not be had, with
// the last error. Returns false.
bool ReportMissingThreadList(ReportSink& report, int pid);

#endif
