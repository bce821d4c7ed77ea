#include "threadsift/waits/ThreadWait.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/waits/AddressWaitEntry.h"
#include "threadsift/waits/AwaitedSection.h"
#include "threadsift/waits/ConditionWait.h"
#include "threadsift/waits/CxxMutexWait.h"
#include "threadsift/waits/SendWait.h"
#include "threadsift/waits/WaitRoutines.h"
#include "threadsift/waits/WaitedHandles.h"

namespace {

bool FindWaitInFrames(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                      const std::vector<FoundFrame>& found, ThreadWait* wait) {
  WaitFrames frames;
  if (!FindWaitFrames(process, found, &frames)) return false;
  switch (frames.kind) {
    case SectionWaitRoutine:
      wait->kind = SectionWaitKind;
      return FindAwaitedSection(process, stack, tid, found, frames, &wait->section);
    case HandleWaitRoutine:
      wait->kind = HandleWaitKind;
      return FindHandleWait(process, stack, context, tid, found, frames, &wait->handles);
    case CxxMutexWaitRoutine:
      wait->kind = CxxMutexWaitKind;
      return FindCxxMutexWait(process, stack, tid, found, frames, &wait->object);
    case SlimLockWaitRoutine:
      wait->kind = SlimLockWaitKind;
      return FindSlimLockWait(process, stack, tid, found, frames, &wait->slimLock);
    case ConditionWaitRoutine:
      wait->kind = ConditionWaitKind;
      return FindConditionVariable(process, stack, tid, found, frames, &wait->object);
    case AddressWaitRoutine:
      wait->kind = AddressWaitKind;
      return FindAddressWaitEntry(process, stack, tid, found, frames, &wait->object);
    case SendWaitRoutine:
      wait->kind = SendWaitKind;
      return FindSentMessage(process, stack, context, tid, found, frames, &wait->sent);
    case StepOfAnyWait:
      break;
  }
  return false;
}

}  // namespace

bool FindThreadWait(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                    const std::vector<FoundFrame>& found, ThreadWait* wait) {
  // The frames searched are the walk's, with the frame it missed put back.
  std::vector<FoundFrame> putBack;
  return FindWaitInFrames(process, stack, context, tid, FramesToSearch(process, stack, found, IsWaitRoutine, &putBack),
                          wait);
}

void ReportThreadWait(const ExaminedProcess& process, ReportSink& report, DWORD tid, ThreadWait* wait,
                      WaitChain* chain) {
  switch (wait->kind) {
    case SectionWaitKind:
      ReportAwaitedSection(process, report, tid, wait->section, chain);
      return;
    case HandleWaitKind:
      ReportHandleWait(process, report, tid, &wait->handles, chain);
      return;
    case CxxMutexWaitKind:
      ReportCxxMutexWait(process, report, tid, wait->object, chain);
      return;
    case SlimLockWaitKind: {
      unsigned sharedCount = 0;
      SlimLockState state = ReadSlimLockState(process, wait->slimLock, &sharedCount);
      report.SlimLockWaitLine(tid, wait->slimLock.lock, wait->slimLock.shared, state, sharedCount);
      return;
    }
    case ConditionWaitKind:
    case AddressWaitKind:
      report.AddressWaitLine(wait->kind, tid, wait->object);
      return;
    case SendWaitKind:
      ReportSentMessage(process, report, tid, wait->sent, chain);
      return;
    case NoWait:
      return;
  }
}
