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

// Room for the frames of ordinary stacks, made before a thread is stopped.
const size_t kUsualFrames = 256;

// Every access right to a thread as NT 4.0 and 2000 define it.
const DWORD kThreadAllAccess = 0x1F03FF;

// Opens thread tid of process pid through the native layer. Returns the
// handle (the caller closes it) or null after printing a line.
HANDLE OpenThread(DWORD access, DWORD pid, DWORD tid);

// The same without the line: on failure *failedCall names the call that failed.
HANDLE OpenThreadQuietly(DWORD access, DWORD pid, DWORD tid, const char** failedCall);

// Opens, suspends, walks, resumes and closes one thread of the process,
// printing a line per frame. Returns 1, or 0 after printing its own line.
int WalkThread(HANDLE process, DWORD pid, DWORD tid);

enum CaptureOutcome { Captured, Missed, ResumeRefused };

// One sample of an opened thread, printing nothing: holds it as WalkThread
// does and finds its frames once it runs again. Missed when the thread
// could not be suspended or read (it may have ended); ResumeRefused, with
// the resume's error as the last error, when it could not be resumed.
// *holdTicks is how long it was held, in 100 ns units (0 when the platform
// has no counter). *stackBase is the base read before; when the hold had to
// read it again (see WalkThreadStack), the new one, for the next sample.
CaptureOutcome CaptureThread(HANDLE process, HANDLE thread, Address* stackBase, std::vector<FoundFrame>* found,
                             ULONGLONG* holdTicks);

// What a thread leaves for its walk once it runs again: its registers, and
// whether its stack was copied.
struct HeldThread {
  Address stackBase;   // read before the hold; 0 when unknown
  Address stackLimit;  // its lowest committed address, read before the hold; 0 when unknown
  CONTEXT context;
  bool stackCopied;
};

// What holding one thread gave, and how its resume went.
struct ThreadHold {
  HeldThread held;
  int walked;  // 0: its registers could not be read
  DWORD walkError;
  DWORD resumed;  // ResumeThread's result
  DWORD resumeError;
};

enum HoldOutcome { HoldRefused, SuspendRefused, HeldAndResumed };

// Suspends the thread, reads its registers and copies its stack up to
// stackBase (see CopyThreadStack; or finds its frames while it is held), and
// resumes it; prints nothing. HoldRefused once the console is closing
// (nothing done). With holdTicks, also the time from the suspend to the
// resume, in 100 ns units.
HoldOutcome HoldThread(HANDLE process, HANDLE thread, Address stackBase, std::vector<FoundFrame>* found,
                       ThreadHold* hold, ULONGLONG* holdTicks);

// Once the thread runs again: the frames of its copied stack, if it was copied.
void FindCopiedFrames(HANDLE process, HANDLE thread, ThreadHold* hold, std::vector<FoundFrame>* found);

// Reads a suspended thread's registers and copies its stack; where the stack
// cannot be copied, finds the frames now, while the thread is held. A stack
// base that does not lie above the stack pointer is read again first (the
// thread has moved to another stack since). Returns 1, or 0 when the
// registers could not be read.
int WalkThreadStack(HANDLE process, HANDLE thread, HeldThread* held, std::vector<FoundFrame>* found);

// Looks up the symbol that holds pc into symbol, a buffer of bufferSize bytes.
BOOL LookUpSymbol(HANDLE process, Address pc, SymbolDisplacement* displacement, WalkSymbol* symbol,
                  size_t bufferSize);

// Steps through the frames from the registers in context and appends each to
// found, up to the end of the walk.
void FindFrames(HANDLE process, HANDLE thread, CONTEXT* context, std::vector<FoundFrame>* found);

// Prints the line of every frame found, resolving its module, symbol and
// source line.
void PrintFrames(HANDLE process, const std::vector<FoundFrame>& found);

#endif
