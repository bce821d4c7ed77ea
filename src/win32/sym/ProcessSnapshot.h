#ifndef THREADSIFT_SYM_PROCESS_SNAPSHOT_H
#define THREADSIFT_SYM_PROCESS_SNAPSHOT_H

#include <windows.h>

#include <string>
#include <vector>

// One thread's processor time so far, kernel and user, in 100 ns units, and
// when it was created.
struct ThreadTime {
  DWORD tid;
  ULONGLONG cpu;
  ULONGLONG created;
};

// A process's image name as the snapshot gives it.
typedef std::basic_string<WCHAR> ImageText;

// Fetches one class of raw system information into a heap buffer grown in
// 64 KB steps up to 16 MB. Returns the buffer (the caller frees it) and sets
// *bufferSize to the bytes it holds, or returns null after printing one line
// (none when it is not to report).
void* GetRawNtSystemInfo(ULONG infoClass, ULONG* bufferSize, bool report = true);

// Finds pid in a fresh process snapshot, prints its header line and returns
// its thread ids as a zero-terminated heap list (the caller frees it). Null
// when the snapshot fails, the process is absent or the list cannot be had.
// With times, also fills it with each thread's processor time; with image,
// sets it to the image name the header line shows.
DWORD* EnumProcessThreads(DWORD pid, std::vector<ThreadTime>* times = NULL, ImageText* image = NULL);

// When the latest snapshot that EnumProcessThreads took with times came back,
// by ReadClock, read before anything is printed or copied; false when the
// clock could not be read.
bool ClockOfLastTimes(ULONGLONG* takenAt);

enum SnapshotOutcome { ProcessListed, ProcessAbsent, SnapshotFailed };

// Takes a fresh snapshot and fills times with every thread of pid and its
// times (none when the process has left it: the last error is then
// ERROR_INVALID_PARAMETER). When the snapshot fails, the last error is the
// code the failure left, after the snapshot's lines (none when it is not to
// report).
SnapshotOutcome SnapshotThreadTimes(DWORD pid, std::vector<ThreadTime>* times, bool report = true);

// The entry of thread tid in times, or null.
const ThreadTime* FindThreadTime(const std::vector<ThreadTime>& times, DWORD tid);

#endif
