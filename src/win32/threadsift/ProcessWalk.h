#ifndef THREADSIFT_PROCESS_WALK_H
#define THREADSIFT_PROCESS_WALK_H

// Prints the report of one process: header line, module listing and the
// threads, of which tid (or every one, with kAllThreads) is walked. With a
// cpuInterval (milliseconds, 0 for none), each thread line also shows the
// thread's processor time and how busy it was over that interval. With
// waits (-w), each thread waiting to enter a critical section gets a line
// naming the section and its holder, and the cycles among them follow the
// threads. False on a failure that ends the run.
bool WalkProcess(int pid, int tid, int cpuInterval = 0, bool waits = false);

// Walks every process of the system with every thread; prints a separator
// between processes and the count at the end. False when the process ids
// cannot be had.
bool WalkAllProcesses(int cpuInterval = 0, bool waits = false);

#endif
