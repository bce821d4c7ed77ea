#ifndef THREADSIFT_WAITED_HANDLES_H
#define THREADSIFT_WAITED_HANDLES_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/report/ReportRecord.h"
#include "threadsift/waits/WaitRoutines.h"
#include "threadsift/waits/WaitedObject.h"

// The reader of a handle wait. Once the thread runs again, over its stack
// copy: the handles thread tid waits on, whose wait frames are frames. True
// when the handles lie where those routines keep them, each a handle of the
// process to a waitable object (or the process refuses duplication: then
// the values alone). context is the thread's registers as held: where a
// wait keeps its count.
bool FindHandleWait(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                    const std::vector<FoundFrame>& found, const WaitFrames& frames, HandleWait* wait);

#endif
