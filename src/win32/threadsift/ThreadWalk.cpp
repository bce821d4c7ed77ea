#include <windows.h>

#include <vector>

#include "threadsift/FaultGuard.h"
#include "threadsift/FrameNaming.h"
#include "threadsift/ReportSink.h"
#include "threadsift/StackCopy.h"
#include "threadsift/StackUnwind.h"
#include "threadsift/ThreadHold.h"
#include "threadsift/ThreadWalk.h"
#include "threadsift/WaitedHandles.h"

bool WalkThread(ExaminedProcess& process, ReportSink& report, const ThreadOpening& opened, WaitChain* waits) {
  HANDLE thread = opened.handle;
  if (thread == NULL) {
    report.Failure(opened.failedCall, (int)opened.error);
    report.Failure("OpenThread", (int)opened.error);
    SetLastError(opened.error);
    return false;
  }
  // The unwinding, which may load symbol files, runs over the stack copy
  // once the thread runs again, and symbols, lines and output follow.
  std::vector<FoundFrame> found;
  found.reserve(kUsualFrames);
  ThreadHold hold;
  KnownStack stack = {StackBaseOf(process.handle, thread, process.width), 0, 0};
  HoldOutcome outcome = HoldThread(process, thread, stack, &found, &hold, NULL);
  if (outcome == HoldRefused) return true;
  if (outcome == SuspendRefused) {
    report.Failure("SuspendThread", (int)GetLastError());
    return false;
  }
  if (!hold.walked) {
    report.Failure(ContextCallOf(process.width), (int)hold.walkError);
    report.Failure("WalkThreadStack", (int)hold.walkError);
  } else if (!hold.steady && NamesNoThirtyTwoBitStack(process.handle, thread)) {
    report.NoThirtyTwoBitRegisters(opened.tid);
  } else if (!hold.steady) {
    report.UnsteadyContext(opened.tid, kContextReads);
  } else {
    // The walk steps the registers to each caller's: -w reads those the
    // thread was held with, where a wait keeps its count.
    WalkContext held;
    if (waits != NULL) held = hold.context;
    FindCopiedFrames(process, thread, &hold, &found, NULL);
    // The section is looked for over the stack copy, and its holder read
    // after the frames are printed, as late as it can be.
    Address section = 0;
    bool waiting = false;
    HandleWait handles;
    bool waitingOnHandles = false;
    auto find = [&]() {
      waiting = FindAwaitedSection(process, hold.stack, opened.tid, found, &section);
      if (!waiting) waitingOnHandles = FindHandleWait(process, hold.stack, held, opened.tid, found, &handles);
    };
    if (waits != NULL) CallGuarded(find);
    report.BeginFrames();
    auto print = [&]() { PrintFrames(process, report, found); };
    if (!CallGuarded(print)) report.FrameCutShort();
    if (waiting) ReportAwaitedSection(process, report, opened.tid, section, waits);
    if (waitingOnHandles) ReportHandleWait(process, report, opened.tid, &handles, waits);
  }
  SetLastError(hold.resumeError);
  if (!hold.resumed) {
    report.Failure("ResumeThread", (int)hold.resumeError);
    return false;
  }
  return hold.walked;
}
