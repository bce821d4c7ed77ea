#include <windows.h>

#include <vector>

#include "threadsift/FaultGuard.h"
#include "threadsift/FrameNaming.h"
#include "threadsift/ReportSink.h"
#include "threadsift/StackCopy.h"
#include "threadsift/StackUnwind.h"
#include "threadsift/ThreadHold.h"
#include "threadsift/ThreadWalk.h"

bool WalkThread(HANDLE process, const ThreadOpening& opened, WaitChain* waits) {
  HANDLE thread = opened.handle;
  if (thread == NULL) {
    ReportFailure(opened.failedCall, (int)opened.error);
    ReportFailure("OpenThread", (int)opened.error);
    SetLastError(opened.error);
    return false;
  }
  // The unwinding, which may load symbol files, runs over the stack copy
  // once the thread runs again, and symbols, lines and output follow.
  std::vector<FoundFrame> found;
  found.reserve(kUsualFrames);
  ThreadHold hold;
  HoldOutcome outcome = HoldThread(process, thread, StackBaseOf(process, thread), &found, &hold, NULL);
  if (outcome == HoldRefused) return true;
  if (outcome == SuspendRefused) {
    ReportFailure("SuspendThread", (int)GetLastError());
    return false;
  }
  if (!hold.walked) {
    ReportFailure("GetThreadContext", (int)hold.walkError);
    ReportFailure("WalkThreadStack", (int)hold.walkError);
  } else {
    FindCopiedFrames(process, thread, &hold, &found);
    // The section is looked for while the stack copy is kept, and its
    // holder read after the frames are printed, as late as it can be.
    Address section = 0;
    bool waiting = false;
    auto find = [&]() { waiting = FindAwaitedSection(process, opened.tid, found, &section); };
    if (waits != NULL) CallGuarded(find);
    BeginFramesReport();
    auto print = [&]() { PrintFrames(process, found); };
    CallGuarded(print);
    if (waiting) ReportAwaitedSection(process, opened.pid, opened.tid, section, waits);
  }
  SetLastError(hold.resumeError);
  if (!hold.resumed) {
    ReportFailure("ResumeThread", (int)hold.resumeError);
    return false;
  }
  return hold.walked;
}
