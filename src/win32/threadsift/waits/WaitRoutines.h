#ifndef THREADSIFT_WAIT_ROUTINES_H
#define THREADSIFT_WAIT_ROUTINES_H

#include <cstddef>
#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"

// The kinds of wait -w reads, most telling first: a wait beneath a
// section's entry routine is the section's, whatever it waits in; one
// beneath the C++ run-time's mutex routines the mutex's, though it waits
// for a slim lock; and one beneath a slim lock's acquisition the lock's,
// even inside a condition variable's sleep (which retakes its lock); a
// message sent to another thread's window last. A step is a routine
// beneath the one a wait was called in that waits of every kind pass
// through (the system-call stubs, keyed events, address waits).
enum WaitRoutineKind {
  SectionWaitRoutine,
  HandleWaitRoutine,
  CxxMutexWaitRoutine,
  SlimLockWaitRoutine,
  ConditionWaitRoutine,
  AddressWaitRoutine,
  SendWaitRoutine,
  StepOfAnyWait
};

// What a called routine asks for beyond its kind: several handles rather
// than one, or a slim lock shared rather than exclusively.
enum RoutineAsks { AsksForOne, AsksForSeveral, AsksShared };

// A routine a program calls to wait (the wait's outermost routine), or one
// beneath it.
enum RoutineRole { CalledRoutine, InnerRoutine };

// Where a routine's frame keeps what it waits on, in each width.
enum ObjectPlace {
  Nowhere,
  // Either width: a word of the wait's frames, between its innermost frame
  // and the called routine's argument words (a section).
  WaitFrameWords,
  // 32-bit: its arguments, the words just above its return address (the
  // walk's argument words are misplaced under Wine: they start two words
  // lower, or anywhere where the caller keeps no frame).
  FirstArgument,        // the handle
  SecondArgument,       // the handle (the first is the one signalled)
  ArgumentArray,        // count, array, a flag that asks for all of them
  NativeArgumentArray,  // count, array, the wait type (0: all, 1: any)
  FlagsArgumentArray,   // count, array, time-out, input mask, flags (1: all of them)
  // 64-bit, as Wine 8 keeps them: the handles copied into an array at 0x40
  // above the frame's stack address, the flag asking for all of them spilt
  // at 0x10 above its caller's.
  FrameArray,
  // 64-bit: the handle waited on at 0x28 above the frame's stack address.
  FrameWord,
  // 64-bit: the window a message is sent to, in a register the routines
  // beneath keep, as the thread was held.
  KeptInRdi,
  KeptInRsi,
};

// A routine of the platform's versions that a blocked thread waits in, by
// its plain name (without module and decoration). A routine that waits of
// two kinds pass through has a row for each.
struct WaitRoutine {
  const char* name;
  WaitRoutineKind kind;
  RoutineRole role;
  RoutineAsks asks;
  ObjectPlace place32;
  ObjectPlace place64;
};

// The frames of a wait: the routine of each (null for a frame without a
// symbol, the platform's stubs), innermost first, up to the wait's
// outermost routine; called is the frame of the outermost routine the
// program called, and kind the wait's, which says which reader reads it.
struct WaitFrames {
  WaitRoutineKind kind = StepOfAnyWait;
  std::vector<const WaitRoutine*> routines;
  size_t called = 0;
};

// The one search for every kind of wait, over the first 12 frames. For each
// kind in turn, the wait's frames are the innermost frames that are its
// routines, steps or frames without a symbol, up to its outermost routine
// (frames without a symbol beyond it are the program's own, a program
// without symbols); the wait is found when a routine of the kind that a
// program calls is among them, a frame calls the wait, and what ends the
// frames is no routine of a kind named before (a handle wait beneath a
// section's entry routine is the section's). False when no kind's is, or
// when the routine that called the wait is the platform's thread pool
// waiting for work (an idle worker, not a program's waiter).
bool FindWaitFrames(const ExaminedProcess& process, const std::vector<FoundFrame>& found, WaitFrames* wait);

// The routines a search knows, by plain name.
typedef bool (*KnownRoutine)(const std::string& name);

// True when name is a routine of the waits -w knows.
bool IsWaitRoutine(const std::string& name);

// The walk misses the frame of a routine that calls a system-call stub
// without keeping a frame pointer (32-bit Wine's user library and native
// layer): the stub's frame is innermost and its caller's caller's next.
// The routine the stub returns to is the word at the innermost frame's
// stack address. The frames a search reads are the walk's, or, where the
// innermost frame has no symbol and that word is an address in a routine
// the search knows other than the next frame's, a copy in putBack with
// that frame put back.
const std::vector<FoundFrame>& FramesToSearch(const ExaminedProcess& process, const StackCopy& stack,
                                              const std::vector<FoundFrame>& found, KnownRoutine known,
                                              std::vector<FoundFrame>* putBack);

// Wait frames are a few hundred bytes; a range larger than this is not them.
const Address kMaxWaitFrameBytes = 0x10000;
// No object a wait is on lies in the lowest 64 KB, which the platform never
// maps.
const Address kLowestObject = 0x10000;

// The stack bytes of a wait's frames: from its innermost frame's stack
// address up to that of the frame that called it. False when they are
// larger than wait frames are.
bool WaitFrameBytes(const std::vector<FoundFrame>& found, const WaitFrames& wait, Address* from, Address* to);

// The first count (at most 5) argument words of the 32-bit routine of
// frame at: they start at its caller's stack address, just above the word
// that holds the address its caller resumes at (measured under 32-bit
// Wine; a copy of that address lies lower in the wait's frames, so none is
// searched for). False where that word holds another value.
bool RoutineArguments(ProcessWidth width, const StackCopy& stack, const std::vector<FoundFrame>& found, size_t at,
                      size_t count, Address* args);

// Where the routine keeps what it waits on, in the process's width.
ObjectPlace PlaceOf(const ExaminedProcess& process, const WaitRoutine& routine);

#endif
