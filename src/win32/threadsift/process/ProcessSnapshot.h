#ifndef THREADSIFT_PROCESS_SNAPSHOT_H
#define THREADSIFT_PROCESS_SNAPSHOT_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "threadsift/base/Utf8Text.h"

class ReportSink;

// One thread as the snapshot lists it: its id, its processor time so far,
// kernel and user, in 100 ns units, and when it was created (which tells it
// from a later thread that took over its id).
struct ThreadRecord {
  DWORD tid;
  ULONGLONG cpu;
  ULONGLONG created;
};
typedef std::vector<ThreadRecord> ThreadList;

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
// snapshot's own lines (none when report is null); NoRoomForThreads (last
// error ERROR_NOT_ENOUGH_MEMORY) when the name and count are there but
// there is no memory for the thread list. Says nothing else. When timed,
// reads the clock as soon as the snapshot is back, before anything is
// copied or printed.
SnapshotOutcome SnapshotProcess(ReportSink* report, DWORD pid, ProcessThreads* listed, bool timed = false);

// A snapshot's buffer grows in steps of this many bytes.
const ULONG kSnapshotStep = 0x10000;

// The snapshot a sweep keeps to serve the processes after the one it was
// taken for, so that a sweep does not list every process of the system once
// per process; freed with the sweep.
struct KeptSnapshot {
  const BYTE* bytes = NULL;  // none when null
  size_t size = 0;
  size_t threadsOffset = 0;
  // The buffer size the sweep's last snapshot needed: the next one starts
  // there, since a system does not shrink much in a second.
  ULONG needed = kSnapshotStep;
  std::map<DWORD, size_t> records;  // each process's record, by its id
  ULONGLONG takenAt = 0;
  bool clocked = false;  // false when the platform had no clock to tell

  KeptSnapshot() = default;
  KeptSnapshot(const KeptSnapshot&) = delete;
  KeptSnapshot& operator=(const KeptSnapshot&) = delete;
  ~KeptSnapshot();
};

// SnapshotProcess for a sweep, from the snapshot it keeps: a fresh one is
// taken when the kept one is older than a second (or the platform has no
// clock to tell), when it does not list the process (which may have started
// since), and when the process it lists under the id was created at another
// time than createdAt (0: unknown), the opened process's creation: an
// earlier process that had the id.
SnapshotOutcome SnapshotProcessInSweep(ReportSink& report, KeptSnapshot* kept, DWORD pid, ULONGLONG createdAt,
                                       ProcessThreads* listed);

// The record of thread tid in threads, or null.
const ThreadRecord* FindThreadRecord(const ThreadList& threads, DWORD tid);

#endif
