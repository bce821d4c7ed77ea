#ifndef THREADSIFT_SYM_THREAD_WALK_H
#define THREADSIFT_SYM_THREAD_WALK_H

#include <windows.h>

#include "sym/AddressWidth.h"

// The image help library's source-line lookup, or null when it has none.
extern LineLookup g_lineLookup;

// Binds g_lineLookup. Returns 0, or 1 when the image help library is not
// loaded (after printing a line).
int BindLineLookup();

// Opens a thread by id through the native layer. Returns the handle (the
// caller closes it) or null after printing a line.
HANDLE OpenThread(DWORD access, DWORD tid);

// Opens, suspends, walks, resumes and closes one thread of the process,
// printing a line per frame. Returns 1, or 0 after printing its own line.
int WalkThread(HANDLE process, DWORD tid);

// Prints the frames of a suspended thread. Returns 1 when the walk ran to
// its end, 0 when the thread's registers could not be read.
int WalkThreadStack(HANDLE process, HANDLE thread);

#endif
