#include <windows.h>

#include <cstdio>
#include <vector>

#include "threadsift/FaultGuard.h"
#include "threadsift/FrameNaming.h"
#include "threadsift/StackCopy.h"
#include "threadsift/StackUnwind.h"
#include "threadsift/ThreadHold.h"
#include "threadsift/ThreadWalk.h"

bool WalkThread(HANDLE process, HANDLE thread, const char* failedCall, DWORD openError) {
  if (thread == NULL) {
    printf("%s error %d\n", failedCall, (int)openError);
    printf("OpenThread error %d\n", (int)openError);
    SetLastError(openError);
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
    auto print = [&]() { PrintFrames(process, found); };
    CallGuarded(print);
  }
  SetLastError(hold.resumeError);
  if (!hold.resumed) {
    printf("ResumeThread error %d\n", (int)hold.resumeError);
    return false;
  }
  return hold.walked;
}
