#ifndef THREADSIFT_THREAD_OPEN_H
#define THREADSIFT_THREAD_OPEN_H

#include <windows.h>

// Every access right to a thread as NT 4.0 and 2000 define it.
const DWORD kThreadAllAccess = 0x1F03FF;

// Opens thread tid of process pid through the native layer (NT 4.0 has no
// kernel call for it). Returns the handle (the caller closes it), or null
// with the last error set and *failedCall naming the call that failed.
HANDLE OpenThreadQuietly(DWORD access, DWORD pid, DWORD tid, const char** failedCall);

// True when the opened thread has ended (a handle can keep an ended thread
// openable): it gives its exit status. False when it runs, or when that
// cannot be told.
bool HasEnded(HANDLE thread);

#endif
