#ifndef THREADSIFT_THREAD_WALK_H
#define THREADSIFT_THREAD_WALK_H

#include <windows.h>

// Holds and walks one thread of the process, printing a line per frame: the
// thread is held only while its registers are read and its stack is copied.
// thread is the thread opened with OpenThreadQuietly; null when that failed,
// with failedCall and openError saying why, which are then printed. False
// after printing its own line.
bool WalkThread(HANDLE process, HANDLE thread, const char* failedCall, DWORD openError);

#endif
