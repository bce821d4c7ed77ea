#ifndef THREADSIFT_THREAD_WALK_H
#define THREADSIFT_THREAD_WALK_H

#include <windows.h>

// Opens, holds, walks and closes one thread of the process, printing a line
// per frame: the thread is held only while its registers are read and its
// stack is copied. False after printing its own line.
bool WalkThread(HANDLE process, DWORD pid, DWORD tid);

#endif
