#ifndef THREADSIFT_THREAD_WALK_H
#define THREADSIFT_THREAD_WALK_H

#include <windows.h>

#include "threadsift/WaitChain.h"

// Opens, holds, walks and closes one thread of the process, printing a line
// per frame: the thread is held only while its registers are read and its
// stack is copied. With waits (-w), a thread waiting to enter a critical
// section gets a line after its frames, and its wait is noted in waits.
// False after printing its own line.
bool WalkThread(HANDLE process, DWORD pid, DWORD tid, WaitChain* waits = NULL);

#endif
