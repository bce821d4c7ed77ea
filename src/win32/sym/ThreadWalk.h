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

// Opens thread tid of process pid through the native layer. Returns the
// handle (the caller closes it) or null after printing a line.
HANDLE OpenThread(DWORD access, DWORD pid, DWORD tid);

// Opens, suspends, walks, resumes and closes one thread of the process,
// printing a line per frame. Returns 1, or 0 after printing its own line.
int WalkThread(HANDLE process, DWORD pid, DWORD tid);

// What a thread leaves for its walk once it runs again: its registers, and
// whether its stack was copied.
struct HeldThread {
  CONTEXT context;
  bool stackCopied;
};

// Reads a suspended thread's registers and copies its stack; where the stack
// cannot be copied, finds the frames now, while the thread is held. Returns 1,
// or 0 when the registers could not be read (after printing a line).
int WalkThreadStack(HANDLE process, HANDLE thread, HeldThread* held, std::vector<FoundFrame>* found);

// Steps through the frames from the registers in context and appends each to
// found, up to the end of the walk.
void FindFrames(HANDLE process, HANDLE thread, CONTEXT* context, std::vector<FoundFrame>* found);

// Prints the line of every frame found, resolving its module, symbol and
// source line.
void PrintFrames(HANDLE process, const std::vector<FoundFrame>& found);

#endif
