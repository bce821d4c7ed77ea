#ifndef THREADSIFT_WAITED_HANDLES_H
#define THREADSIFT_WAITED_HANDLES_H

#include <windows.h>

#include <vector>

#include "threadsift/ExaminedProcess.h"
#include "threadsift/FrameNaming.h"
#include "threadsift/StackCopy.h"
#include "threadsift/WaitedObject.h"

// How a thread waits on its handles: on one, on all or any of several, or
// on several where whether it needs all of them cannot be told.
enum WaitMode { WaitsForOne, WaitsForAll, WaitsForAny, WaitsForAllOrAny };

struct HandleWait {
  WaitMode mode;
  std::vector<WaitedObject> objects;
};

// Once the thread runs again, over its stack copy: the handles thread tid
// waits on. True when its innermost frames are the platform's handle waits
// (and no critical-section wait above them), and the handles lie where
// those routines keep them, each a handle of the process to a waitable
// object (or the process refuses duplication: then the values alone).
// context is the thread's registers as held: where a wait keeps its count.
bool FindHandleWait(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                    const std::vector<FoundFrame>& found, HandleWait* wait);

#endif
