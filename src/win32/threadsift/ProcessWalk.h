#ifndef THREADSIFT_PROCESS_WALK_H
#define THREADSIFT_PROCESS_WALK_H

#include <windows.h>

#include "threadsift/ModuleTable.h"

// Selects every thread of a process in WalkProcess.
const int kAllThreads = -1;

// Prints the report of one process: header line, module listing and the
// threads, of which tid (or every one, with kAllThreads) is walked. With a
// cpuInterval (milliseconds, 0 for none), each thread line also shows the
// thread's processor time and how busy it was over that interval.
// Returns 0 or 1.
int WalkProcess(int pid, int tid, int cpuInterval = 0);

// Walks every process of the system with every thread; prints a separator
// between processes and the count at the end. Returns 0, or 1 when the
// process ids cannot be had.
int WalkAllProcesses(int cpuInterval = 0);

// What is done to a process once its symbol handler is started. Returns 0
// or 1, and sets *complete when it got through to its end; it registers the
// console control handler once it is about to hold threads.
typedef int (*ProcessWork)(HANDLE process, int pid, void* context, bool* complete);

// Opens process pid, starts its symbol handler and does the work. After a
// complete work the handler's end is checked (a failure prints a line and
// makes the result 1) and the console control handler is removed; after an
// early end the symbol handler is ended without a word. Returns 0 or 1.
int WithSymbolHandler(int pid, ProcessWork work, void* context);

// True when thread id of process pid is to be walked (or sampled) with the
// thread selector tid; never for a thread of the tool's own process.
bool IsSelected(int pid, int tid, DWORD id);

// Builds the module table (listed or not; see BuildModuleTable) and, once it
// is built, forgets the pages read of any earlier process and registers the
// console control handler: threads of the process can be held from then on.
ModuleTableOutcome PrepareToHoldThreads(HANDLE process, int pid, bool listed);

// Prints the line for a process whose thread list could not be had, with
// the last error. Returns 1.
int ReportMissingThreadList(int pid);

#endif
