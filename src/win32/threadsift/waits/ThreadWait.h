#ifndef THREADSIFT_THREAD_WAIT_H
#define THREADSIFT_THREAD_WAIT_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/report/ReportRecord.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/SlimLockWait.h"
#include "threadsift/waits/WaitChain.h"

class ReportSink;

// What a walked thread waits for (-w), as its reader found it.
struct ThreadWait {
  WaitKind kind = NoWait;
  Address section = 0;  // a critical section's address
  HandleWait handles = HandleWait();
  SlimLockWait slimLock = SlimLockWait();
  Address object = 0;  // a condition variable's, or the address waited at
  SentMessage sent = SentMessage();
};

// Once the thread runs again, over its stack copy: finds the frames of the
// wait thread tid's innermost frames show (FindWaitFrames) and hands them
// to the reader of their kind. context is the thread's registers as held.
// True when the reader found what the thread waits for; says nothing.
bool FindThreadWait(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                    const std::vector<FoundFrame>& found, ThreadWait* wait);

// Says the wait line of thread tid, found before, and notes in chain what
// it cannot go on without, for the cycles.
void ReportThreadWait(const ExaminedProcess& process, ReportSink& report, DWORD tid, ThreadWait* wait,
                      WaitChain* chain);

#endif
