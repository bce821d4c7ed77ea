#ifndef THREADSIFT_SYM_PROCESS_SNAPSHOT_H
#define THREADSIFT_SYM_PROCESS_SNAPSHOT_H

#include <windows.h>

// Fetches one class of raw system information into a heap buffer grown in
// 64 KB steps up to 16 MB. Returns the buffer (the caller frees it), or null
// after printing one line.
void* GetRawNtSystemInfo(ULONG infoClass);

// Finds pid in a fresh process snapshot, prints its header line and returns
// its thread ids as a zero-terminated heap list (the caller frees it). Null
// when the snapshot fails, the process is absent or the list cannot be had.
DWORD* EnumProcessThreads(DWORD pid);

#endif
