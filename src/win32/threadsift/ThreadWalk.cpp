#include <windows.h>

#include <cstdio>
#include <vector>

#include "threadsift/FaultGuard.h"
#include "threadsift/FrameNaming.h"
#include "threadsift/StackCopy.h"
#include "threadsift/StackUnwind.h"
#include "threadsift/ThreadHold.h"
#include "threadsift/ThreadWalk.h"

bool WalkThread(HANDLE process, const ThreadOpening& opened, WaitChain* waits) {
  HANDLE thread = opened.handle;
  if (thread == NULL) {
    printf("%s error %d\n", opened.failedCall, (int)opened.error);
    printf("OpenThread error %d\n", (int)opened.error);
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
    printf("SuspendThread error %d\n", (int)GetLastError());
    return false;
  }
  if (!hold.walked) {
    printf("GetThreadContext error %d\n", (int)hold.walkError);
    printf("WalkThreadStack error %d\n", (int)hold.walkError);
  } else {
    FindCopiedFrames(process, thread, &hold, &found);
    // The section is looked for while the stack copy is kept, and its
    // holder read after the frames are printed, as late as it can be.
    Address section = 0;
    bool waiting = false;
    auto find = [&]() { waiting = FindAwaitedSection(process, opened.tid, found, &section); };
    if (waits != NULL) CallGuarded(find);
    auto print = [&]() { PrintFrames(process, found); };
    CallGuarded(print);
    if (waiting) ReportAwaitedSection(process, opened.pid, opened.tid, section, waits);
  }
  SetLastError(hold.resumeError);
  if (!hold.resumed) {
    printf("ResumeThread error %d\n", (int)hold.resumeError);
    return false;
  }
  return hold.walked;
}
