#ifndef THREADSIFT_SYM_PROCESS_WALK_H
#define THREADSIFT_SYM_PROCESS_WALK_H

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

#endif
