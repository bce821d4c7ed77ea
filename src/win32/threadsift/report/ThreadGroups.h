#ifndef THREADSIFT_THREAD_GROUPS_H
#define THREADSIFT_THREAD_GROUPS_H

#include <cstddef>
#include <string>
#include <vector>

#include "threadsift/report/ReportRecord.h"

// Threads whose frames are the same return addresses in the same order
// (their argument words may differ), and idle for the same reason.
struct ThreadGroup {
  std::vector<size_t> members;  // indices in the process's threads, lowest id first
  IdleReason idle;
};

// True when a thread may share its group: walked to at least one frame,
// and nothing failed for it (a failure's lines are its own).
bool MayShareGroup(const ReportedThread& thread);

// The frames' return addresses and the idle reason, as bytes: threads that
// may share a group and have equal keys are one group.
std::string GroupKey(const ReportedThread& thread);

// The groups of the threads the report shows (each one the run walks, or
// with a failure of its own): each such thread is in exactly one. A thread with a
// failure or without frames is a group of its own. Busy groups come first,
// idle ones last; within each, most threads first, then lowest id.
std::vector<ThreadGroup> GroupThreads(const ReportedProcess& process);

#endif
