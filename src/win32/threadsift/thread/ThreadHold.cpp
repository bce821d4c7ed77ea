#include <windows.h>

#include <cstring>

#include "threadsift/base/Bitness.h"
#include "threadsift/base/FaultGuard.h"
#include "threadsift/base/Interrupt.h"
#include "threadsift/unwind/MemoryCache.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/StackUnwind.h"
#include "threadsift/thread/ThreadCpu.h"
#include "threadsift/thread/ThreadHold.h"

namespace {

const DWORD kSuspendFailed = 0xFFFFFFFF;

// A base read before the hold that does not lie above the stack pointer is
// another stack's (the thread switched fibers, say): it is read again, with
// the limit below it, so that the stack is still copied whole.
void ReadStackBaseAgain(const ExaminedProcess& process, HANDLE thread, Address stackPointer, ThreadHold* hold) {
  if (hold->stackBase == 0 || hold->stackBase > stackPointer) return;
  hold->stackBase = StackBaseOf(process.handle, thread, process.width);
  hold->stackLimit = hold->stackBase > stackPointer ? StackLimitOf(process.handle, hold->stackBase) : 0;
}

// True when pc lies in a module of the process or in executable memory.
bool IsCodeAddress(const ExaminedProcess& process, Address pc) {
  if (FindModule(process.modules, pc) >= 0) return true;
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQueryEx(process.handle, (LPCVOID)(UINT_PTR)pc, &region, sizeof(region)) != sizeof(region)) return false;
  const DWORD executable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return region.State == MEM_COMMIT && (region.Protect & executable) != 0;
}

// True unless the registers of a thread of a process of the other width
// were read while it switched modes: its stack pointer lies off the stack
// its environment block names, or its program counter outside its modules
// and executable memory. (A thread of the tool's own width has one set of
// registers, always whole.)
bool ContextStandsStill(const ExaminedProcess& process, const ThreadHold& hold) {
  if (process.width == kToolWidth) return true;
  Address sp = StackPointerOf(hold.context);
  if (hold.stackBase != 0 && hold.stackStart != 0 && (sp >= hold.stackBase || sp < hold.stackStart)) return false;
  return IsCodeAddress(process, ProgramCounterOf(hold.context));
}

// Reads a suspended thread's registers and copies its stack; where the
// stack cannot be copied, finds the frames now, while the thread is held.
// False when the registers could not be read.
bool ReadHeldThread(ExaminedProcess& process, HANDLE thread, ThreadHold* hold, std::vector<FoundFrame>* found) {
  hold->stackCopied = false;
  if (!ReadWalkContext(thread, process.width, &hold->context)) return false;
  hold->steady = ContextStandsStill(process, *hold);
  if (!hold->steady) return true;
  ReadStackBaseAgain(process, thread, StackPointerOf(hold->context), hold);
  hold->stackCopied = CopyThreadStack(process.handle, StackPointerOf(hold->context), hold->stackBase,
                                      hold->stackLimit, &hold->stack);
  if (!hold->stackCopied) FindFrames(process, thread, &hold->context, hold->stack, found, NULL);
  return true;
}

// One hold: suspends the thread, reads it and resumes it.
HoldOutcome HoldOnce(ExaminedProcess& process, HANDLE thread, std::vector<FoundFrame>* found, ThreadHold* hold,
                     ULONGLONG* holdTicks) {
  // Once the console is closing the platform is about to end the tool:
  // the thread is left running, unwalked.
  if (!BeginHold()) return HoldRefused;
  ULONGLONG suspendedAt = 0, resumedAt = 0;
  bool clocked = holdTicks != NULL && ReadClock(&suspendedAt);
  if (SuspendThread(thread) == kSuspendFailed) {
    EndHold();
    return SuspendRefused;
  }
  // A fault or exception inside the reads ends them; the frames found so
  // far are kept, and the thread is resumed as after a complete walk.
  hold->walked = true;
  auto read = [&]() { hold->walked = ReadHeldThread(process, thread, hold, found); };
  if (!CallGuarded(read)) hold->walked = true;
  hold->walkError = GetLastError();
  hold->resumed = ResumeThread(thread) != kSuspendFailed;
  hold->resumeError = GetLastError();
  EndHold();
  if (holdTicks != NULL) {
    *holdTicks = clocked && ReadClock(&resumedAt) && resumedAt > suspendedAt ? resumedAt - suspendedAt : 0;
  }
  return HeldAndResumed;
}

// What the next hold of the thread starts from: the base and limit this
// hold used (read again when the thread had moved to another stack), the
// limit lowered to where the copy began when the stack had grown below it,
// and the reservation's start while the base stays.
void KeepWhatTheHoldFound(const ThreadHold& hold, KnownStack* stack) {
  bool sameStack = hold.stackBase == stack->base;
  stack->base = hold.stackBase;
  stack->limit = hold.stackLimit;
  if (hold.stackCopied && hold.stackLimit != 0 && hold.stack.floor != 0 && hold.stack.floor < hold.stackLimit) {
    stack->limit = hold.stack.floor;
  }
  stack->start = sameStack ? hold.stackStart : 0;
}

}  // namespace

HoldOutcome HoldThread(ExaminedProcess& process, HANDLE thread, const KnownStack& stack,
                       std::vector<FoundFrame>* found, ThreadHold* hold, ULONGLONG* holdTicks) {
  hold->stackCopied = false;
  hold->walked = false;
  hold->steady = true;
  ForgetStackPages(&process.pages);
  ForgetStackCopy(&hold->stack);
  hold->stackBase = stack.base;
  hold->stackLimit = stack.limit != 0 ? stack.limit : StackLimitOf(process.handle, stack.base);
  hold->stackStart = process.width == kToolWidth ? 0
                     : stack.start != 0          ? stack.start
                                                 : StackStartOf(process.handle, stack.base);
  HoldOutcome outcome = HoldOnce(process, thread, found, hold, holdTicks);
  for (int read = 1; read < kContextReads && outcome == HeldAndResumed && hold->walked && !hold->steady &&
                     hold->resumed;
       ++read) {
    outcome = HoldOnce(process, thread, found, hold, holdTicks);
  }
  return outcome;
}

bool FindCopiedFrames(ExaminedProcess& process, HANDLE thread, ThreadHold* hold, std::vector<FoundFrame>* found,
                      WalkReads* reads) {
  if (!hold->walked || !hold->steady || !hold->stackCopied) return true;
  auto find = [&]() { FindFrames(process, thread, &hold->context, hold->stack, found, reads); };
  return CallGuarded(find);
}

CaptureOutcome CaptureThread(ExaminedProcess& process, HANDLE thread, KnownStack* stack, KeptWalk* kept,
                             ThreadHold* hold, std::vector<FoundFrame>* found, ULONGLONG* holdTicks) {
  found->clear();
  *holdTicks = 0;
  if (HoldThread(process, thread, *stack, found, hold, holdTicks) != HeldAndResumed) return Missed;
  KeepWhatTheHoldFound(*hold, stack);
  if (!hold->resumed) {
    SetLastError(hold->resumeError);
    return ResumeRefused;
  }
  if (!hold->walked || !hold->steady) return Missed;
  if (hold->stackCopied && SameWalk(*kept, hold->context, hold->stack)) {
    *found = kept->frames;
    return Captured;
  }
  // The walk changes the registers it steps through: they are kept first.
  kept->context = hold->context;
  kept->reads.spans.clear();
  kept->reads.bytes.clear();
  kept->reads.complete = true;
  kept->kept = FindCopiedFrames(process, thread, hold, found, &kept->reads) && hold->stackCopied &&
               kept->reads.complete && found->size() <= kMaxKeptFrames;
  if (kept->kept) kept->frames = *found;
  return Captured;
}
