#ifndef THREADSIFT_PROCESS_WALK_H
#define THREADSIFT_PROCESS_WALK_H

#include <windows.h>

#include <vector>

#include "threadsift/base/Bitness.h"
#include "threadsift/thread/ThreadName.h"

class ReportSink;

// What a walk of processes is asked for.
struct WalkOptions {
  int tid;          // the thread walked (kAllThreads: every one)
  int cpuInterval;  // milliseconds of -c, 0 for none
  bool waits;       // -w
  bool described;   // -g or -j: each thread's name, and whether it is idle
  LineLookup lineLookup;  // the image help library's source-line lookup, or null
  ThreadNameQuery nameQuery;  // the platform's query of thread names, or null
};

// Says the report of one process: header line, module listing and the
// threads, of which options.tid (or every one) is walked. With a
// cpuInterval, each thread line also shows the thread's processor time and
// how busy it was over that interval. With waits (-w), each thread waiting
// to enter a critical section gets a line naming the section and its
// holder, and the cycles among them follow the threads. False on a failure
// that ends the run.
bool WalkProcess(ReportSink& report, int pid, const WalkOptions& options);

// Fills ids with every process id, growing the buffer until all of them
// fit; bytes is what the platform filled. False when they cannot be had.
bool ListProcessIds(std::vector<DWORD>* ids, DWORD* bytes);

// Walks every process of the system with every thread (options.tid is not
// read); says a separator between processes and the count at the end.
// False when the process ids cannot be had.
bool WalkAllProcesses(ReportSink& report, const WalkOptions& options);

#endif
