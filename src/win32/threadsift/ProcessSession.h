#ifndef THREADSIFT_PROCESS_SESSION_H
#define THREADSIFT_PROCESS_SESSION_H

#include <windows.h>

#include "threadsift/ModuleTable.h"
#include "threadsift/ProcessSnapshot.h"

// What the report of a process and the sampling of one share: the process
// opened with its symbol handler, its thread list and header line, its
// modules registered, and which of its threads may be held.

// Selects every thread of a process.
const int kAllThreads = -1;

// What is done to a process once its symbol handler is started. False on
// failure; sets *complete when it got through to its end. It registers the
// console control handler once it is about to hold threads.
typedef bool (*ProcessWork)(HANDLE process, int pid, void* context, bool* complete);

// Opens process pid, starts its symbol handler and does the work. After a
// complete work the handler's end is checked (a failure prints a line and
// fails) and the console control handler is removed; after an early end
// the symbol handler is ended without a word. False on failure.
bool WithSymbolHandler(int pid, ProcessWork work, void* context);

// Where a process's thread list comes from: a snapshot of its own, the same
// timed (for -c, whose figures start there), or the snapshot a sweep keeps.
enum ThreadListing { OwnSnapshot, TimedSnapshot, SweepSnapshot };

// Lists the threads of process pid and prints its header line. False when
// the list could not be had (the caller reports it; see
// ReportMissingThreadList), after the snapshot's own lines.
bool ListProcessThreads(int pid, ThreadListing listing, ProcessThreads* listed);

// The same in two steps, for a caller that looks at the list before the
// header line: the snapshot (its failures print their own lines), then the
// header line, or the line of a list without memory.
SnapshotOutcome TakeThreadList(int pid, ThreadListing listing, ProcessThreads* listed);
bool PrintThreadListHeader(int pid, SnapshotOutcome outcome, const ProcessThreads& listed);

// True when thread id of process pid is to be walked (or sampled) with the
// thread selector tid; never for a thread of the tool's own process.
bool IsSelected(int pid, int tid, DWORD id);

// Builds the module table (listed or not; see BuildModuleTable) and, once it
// is built, forgets the pages read of any earlier process and registers the
// console control handler: threads of the process can be held from then on.
ModuleTableOutcome PrepareToHoldThreads(HANDLE process, int pid, bool listed);

// Prints the line for a process whose thread list could not be had, with
// the last error. Returns false.
bool ReportMissingThreadList(int pid);

#endif
