#ifndef THREADSIFT_THREAD_HOLD_H
#define THREADSIFT_THREAD_HOLD_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/unwind/KeptWalk.h"
#include "threadsift/thread/StackCopy.h"

// What holding one thread gave, and how its resume went. Its stack copy is
// what the unwinding reads once the thread runs again; a hold used again
// for the next thread (or sample) keeps the copy's room.
struct ThreadHold {
  Address stackBase;   // read before the hold; 0 when unknown
  Address stackLimit;  // its lowest committed address, read before the hold; 0 when unknown
  Address stackStart;  // the start of the stack's reservation, read before the hold; 0 when unknown
  WalkContext context;
  StackCopy stack;
  bool stackCopied;
  bool walked;  // false: its registers could not be read
  DWORD walkError;
  // False when a 32-bit thread's registers, seen from the 64-bit build, did
  // not stand on its stack and in its code in any of the reads tried: no
  // frame is found from them.
  bool steady;
  bool resumed;
  DWORD resumeError;
};

// How often a thread whose registers were read while it switched modes is
// held before its walk gives up.
const int kContextReads = 3;

enum HoldOutcome { HoldRefused, SuspendRefused, HeldAndResumed };

// What is known of a thread's stack before it is held: its base, its
// lowest committed address (the limit) and the start of its reservation,
// each 0 when unknown (then read before the hold). A stack's committed part
// only grows, so a limit kept from an earlier hold is at most too high,
// which costs a query while the thread is held, once.
struct KnownStack {
  Address base = 0;
  Address limit = 0;
  Address start = 0;
};

// Suspends the thread, reads its registers and copies its stack up to
// stack.base (see CopyThreadStack; where the stack cannot be copied, finds
// its frames while it is held), and resumes it; prints nothing. A stack
// base that does not lie above the stack pointer is read again while the
// thread is held (the thread has moved to another stack since). A fault
// inside ends the reads, and the thread is resumed all the same.
// HoldRefused once the console is closing (nothing done). With holdTicks,
// also the time from the suspend to the resume, in 100 ns units. A 32-bit
// thread of a process seen from the 64-bit build whose registers were read
// while it switched modes (its stack pointer off its stack, or its program
// counter outside its code) is let run and held again, a few times at most;
// the time is that of the last hold.
HoldOutcome HoldThread(ExaminedProcess& process, HANDLE thread, const KnownStack& stack,
                       std::vector<FoundFrame>* found, ThreadHold* hold, ULONGLONG* holdTicks);

// Once the thread runs again: the frames of its copied stack, if it was
// copied. A fault inside ends the search with the frames found so far. With
// reads, the walk's reads are noted there. False when a fault ended it.
bool FindCopiedFrames(ExaminedProcess& process, HANDLE thread, ThreadHold* hold, std::vector<FoundFrame>* found,
                      WalkReads* reads);

enum CaptureOutcome { Captured, Missed, ResumeRefused };

// One sample of an opened thread, printing nothing: holds it as the walk
// does and finds its frames once it runs again. Missed when the thread
// could not be suspended or read (it may have ended); ResumeRefused, with
// the resume's error as the last error, when it could not be resumed.
// *holdTicks is how long it was held, in 100 ns units (0 when the platform
// has no counter). *stack is what the samples before knew of the stack, and
// after the hold what this one found (a base read again, a limit lower
// since the stack grew), for the next sample: no region of the stack is
// queried while the stack stays where it was. *kept is the thread's last
// walk: when the thread stands as it stood then (the same registers, the
// same stack bytes where that walk read), its frames are taken from it;
// otherwise they are found, and kept for the next sample. hold is the
// caller's, so that its stack copy's room serves every sample.
CaptureOutcome CaptureThread(ExaminedProcess& process, HANDLE thread, KnownStack* stack, KeptWalk* kept,
                             ThreadHold* hold, std::vector<FoundFrame>* found, ULONGLONG* holdTicks);

#endif
