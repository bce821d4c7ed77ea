#include <windows.h>

#include <vector>

#include "threadsift/base/FaultGuard.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/StackUnwind.h"
#include "threadsift/thread/ThreadHold.h"
#include "threadsift/thread/ThreadName.h"
#include "threadsift/thread/ThreadWalk.h"
#include "threadsift/waits/IdleWait.h"
#include "threadsift/waits/ThreadWait.h"

bool WalkThread(ExaminedProcess& process, ReportSink& report, const ThreadOpening& opened, WaitChain* waits,
                bool described, ThreadNameQuery nameQuery) {
  HANDLE thread = opened.handle;
  if (thread == NULL) {
    report.Failure(opened.failedCall, (int)opened.error);
    report.Failure("OpenThread", (int)opened.error);
    SetLastError(opened.error);
    return false;
  }
  ImageText name;
  if (described && ReadThreadName(nameQuery, thread, &name)) report.ThreadName(name);
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
    // The wait is looked for over the stack copy, and what holds it read
    // after the frames are printed, as late as it can be.
    ThreadWait wait;
    bool waiting = false;
    auto find = [&]() { waiting = FindThreadWait(process, hold.stack, held, opened.tid, found, &wait); };
    if (waits != NULL) CallGuarded(find);
    report.BeginFrames();
    auto print = [&]() { PrintFrames(process, report, found); };
    if (!CallGuarded(print)) report.FrameCutShort();
    if (waiting) ReportThreadWait(process, report, opened.tid, &wait, waits);
    IdleReason idle = NotIdle;
    auto tellIdle = [&]() { idle = FindIdleReason(process, hold.stack, found); };
    if (described && CallGuarded(tellIdle)) report.ThreadIdle(idle);
  }
  SetLastError(hold.resumeError);
  if (!hold.resumed) {
    report.Failure("ResumeThread", (int)hold.resumeError);
    return false;
  }
  return hold.walked;
}
