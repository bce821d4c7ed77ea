#ifndef THREADSIFT_STACK_UNWIND_H
#define THREADSIFT_STACK_UNWIND_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/unwind/KeptWalk.h"
#include "threadsift/thread/StackCopy.h"

// Room for the frames of ordinary stacks, made before a thread is stopped.
const size_t kUsualFrames = 256;

// Steps through the frames from the registers in context, as the machine of
// the process's width, and appends each
// to found, up to the end of the walk: where the platform finds no more
// frames or makes no progress, or after 10,000 frames. Stack bytes come
// from the thread's stack copy where one was taken, and nothing below its
// floor is read. With reads, each read the walk makes is noted there.
void FindFrames(ExaminedProcess& process, HANDLE thread, WalkContext* context, const StackCopy& stack,
                std::vector<FoundFrame>* found, WalkReads* reads);

#endif
