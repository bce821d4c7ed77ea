#include <windows.h>

#include <cstring>

#include "threadsift/Bitness.h"
#include "threadsift/FaultGuard.h"
#include "threadsift/Interrupt.h"
#include "threadsift/MemoryCache.h"
#include "threadsift/StackCopy.h"
#include "threadsift/StackUnwind.h"
#include "threadsift/ThreadCpu.h"
#include "threadsift/ThreadHold.h"

namespace {

const DWORD kSuspendFailed = 0xFFFFFFFF;

// A base read before the hold that does not lie above the stack pointer is
// another stack's (the thread switched fibers, say): it is read again, with
// the limit below it, so that the stack is still copied whole.
void ReadStackBaseAgain(HANDLE process, HANDLE thread, Address stackPointer, ThreadHold* hold) {
  if (hold->stackBase == 0 || hold->stackBase > stackPointer) return;
  hold->stackBase = StackBaseOf(process, thread);
  hold->stackLimit = hold->stackBase > stackPointer ? StackLimitOf(process, hold->stackBase) : 0;
}

// Reads a suspended thread's registers and copies its stack; where the
// stack cannot be copied, finds the frames now, while the thread is held.
// False when the registers could not be read.
bool ReadHeldThread(ExaminedProcess& process, HANDLE thread, ThreadHold* hold, std::vector<FoundFrame>* found) {
  memset(&hold->context, 0, sizeof(hold->context));
  hold->context.ContextFlags = kWalkContextFlags;
  hold->stackCopied = false;
  if (!GetThreadContext(thread, &hold->context)) return false;
  ReadStackBaseAgain(process.handle, thread, StackPointerOf(hold->context), hold);
  hold->stackCopied = CopyThreadStack(process.handle, StackPointerOf(hold->context), hold->stackBase,
                                      hold->stackLimit, &hold->stack);
  if (!hold->stackCopied) FindFrames(process, thread, &hold->context, hold->stack, found);
  return true;
}

}  // namespace

HoldOutcome HoldThread(ExaminedProcess& process, HANDLE thread, Address stackBase, std::vector<FoundFrame>* found,
                       ThreadHold* hold, ULONGLONG* holdTicks) {
  hold->stackCopied = false;
  hold->walked = false;
  ForgetStackPages(&process.pages);
  ForgetStackCopy(&hold->stack);
  hold->stackBase = stackBase;
  hold->stackLimit = StackLimitOf(process.handle, stackBase);
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

void FindCopiedFrames(ExaminedProcess& process, HANDLE thread, ThreadHold* hold, std::vector<FoundFrame>* found) {
  if (!hold->walked || !hold->stackCopied) return;
  auto find = [&]() { FindFrames(process, thread, &hold->context, hold->stack, found); };
  CallGuarded(find);
}

CaptureOutcome CaptureThread(ExaminedProcess& process, HANDLE thread, Address* stackBase, ThreadHold* hold,
                             std::vector<FoundFrame>* found, ULONGLONG* holdTicks) {
  found->clear();
  *holdTicks = 0;
  if (HoldThread(process, thread, *stackBase, found, hold, holdTicks) != HeldAndResumed) return Missed;
  *stackBase = hold->stackBase;
  if (!hold->resumed) {
    SetLastError(hold->resumeError);
    return ResumeRefused;
  }
  if (!hold->walked) return Missed;
  FindCopiedFrames(process, thread, hold, found);
  return Captured;
}
