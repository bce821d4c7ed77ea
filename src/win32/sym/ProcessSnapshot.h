#ifndef THREADSIFT_SYM_PROCESS_SNAPSHOT_H
#define THREADSIFT_SYM_PROCESS_SNAPSHOT_H

#include <windows.h>

#include <vector>

// One thread's processor time so far, kernel and user, in 100 ns units.
struct ThreadTime {
  DWORD tid;
  ULONGLONG cpu;
};

// Fetches one class of raw system information into a heap buffer grown in
// 64 KB steps up to 16 MB. Returns the buffer (the caller frees it) and sets
// *bufferSize to the bytes it holds, or returns null after printing one line.
void* GetRawNtSystemInfo(ULONG infoClass, ULONG* bufferSize);

// Finds pid in a fresh process snapshot, prints its header line and returns
// its thread ids as a zero-terminated heap list (the caller frees it). Null
// when the snapshot fails, the process is absent or the list cannot be had.
// With times, also fills it with each thread's processor time.
DWORD* EnumProcessThreads(DWORD pid, std::vector<ThreadTime>* times = NULL);

// Takes a fresh snapshot and fills times with the processor time of each
// thread of pid (none when the process has left it). Returns false after
// printing the snapshot's lines when the snapshot fails.
bool SnapshotThreadTimes(DWORD pid, std::vector<ThreadTime>* times);

#endif
