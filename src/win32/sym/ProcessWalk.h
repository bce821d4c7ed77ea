#ifndef THREADSIFT_SYM_PROCESS_WALK_H
#define THREADSIFT_SYM_PROCESS_WALK_H

// Selects every thread of a process in WalkProcess.
const int kAllThreads = -1;

// Prints the report of one process: header line, module listing and the
// threads, of which tid (or every one, with kAllThreads) is walked.
// Returns 0 or 1.
int WalkProcess(int pid, int tid);

// Walks every process of the system with every thread; prints a separator
// between processes and the count at the end. Returns 0, or 1 when the
// process ids cannot be had.
int WalkAllProcesses();

#endif
