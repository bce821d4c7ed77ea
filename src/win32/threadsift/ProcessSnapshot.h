#ifndef THREADSIFT_PROCESS_SNAPSHOT_H
#define THREADSIFT_PROCESS_SNAPSHOT_H

#include <windows.h>

#include <string>
#include <vector>

// One thread as the snapshot lists it: its id, its processor time so far,
// kernel and user, in 100 ns units, and when it was created (which tells it
// from a later thread that took over its id).
struct ThreadRecord {
  DWORD tid;
  ULONGLONG cpu;
  ULONGLONG created;
};
typedef std::vector<ThreadRecord> ThreadList;

// A process's image name as the snapshot gives it.
typedef std::basic_string<WCHAR> ImageText;

// What the snapshot lists of one process.
struct ProcessThreads {
  ImageText image;    // the name its header line shows, fallbacks included
  DWORD threadCount;  // as its record counts them
  ThreadList threads;
  bool kept;  // from the snapshot a sweep kept from an earlier process
  // When the snapshot came back, by ReadClock, when it was to be timed
  // (clocked is false when it was not, or the platform has no clock).
  bool clocked;
  ULONGLONG takenAt;
};

enum SnapshotOutcome { ProcessListed, ProcessAbsent, SnapshotFailed, NoRoomForThreads };

// Takes a fresh system snapshot and fills listed with process pid's record.
// ProcessAbsent (last error ERROR_INVALID_PARAMETER) when the process has
// left it; SnapshotFailed, with the failure's last error, after the
// snapshot's own lines (none when it is not to report); NoRoomForThreads
// (last error ERROR_NOT_ENOUGH_MEMORY) when the name and count are there but
// there is no memory for the thread list. Prints nothing else. When timed,
// reads the clock as soon as the snapshot is back, before anything is
// copied or printed.
SnapshotOutcome SnapshotProcess(DWORD pid, ProcessThreads* listed, bool report = true, bool timed = false);

// The same for a sweep: a snapshot serves the processes after the one it
// was taken for, so that a sweep does not list every process of the system
// once per process. A fresh one is taken when the kept one is older than a
// second (or the platform has no clock to tell) and when it does not list
// the process (which may have started since).
SnapshotOutcome SnapshotProcessInSweep(DWORD pid, ProcessThreads* listed);

// Frees the snapshot a sweep kept; called when the sweep ends.
void ReleaseSweepSnapshot();

// The record of thread tid in threads, or null.
const ThreadRecord* FindThreadRecord(const ThreadList& threads, DWORD tid);

#endif
