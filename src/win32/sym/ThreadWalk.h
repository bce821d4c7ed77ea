#ifndef THREADSIFT_SYM_THREAD_WALK_H
#define THREADSIFT_SYM_THREAD_WALK_H

#include <windows.h>

#include <vector>

#include "sym/AddressWidth.h"

// What a frame's line needs, taken while its thread is stopped.
struct FoundFrame {
  Address pc;
  Address params[4];
};

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

// Steps through the frames of a suspended thread and appends each to found.
// Returns 1 when the walk ran to its end, 0 when the thread's registers
// could not be read.
int WalkThreadStack(HANDLE process, HANDLE thread, std::vector<FoundFrame>* found);

// Prints the line of every frame found, resolving its module, symbol and
// source line.
void PrintFrames(HANDLE process, const std::vector<FoundFrame>& found);

#endif
