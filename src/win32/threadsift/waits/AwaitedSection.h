#ifndef THREADSIFT_AWAITED_SECTION_H
#define THREADSIFT_AWAITED_SECTION_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/WaitRoutines.h"

// The reader of a critical-section wait. Once the thread runs again, over
// its stack copy stack: the critical section thread tid waits to enter,
// whose wait frames (wait routines, then the entry routine) are wait. True
// when a word of those frames in the copy addresses a section that another
// thread holds while a thread waits for it. Reads the candidates from the
// process (never from a guard page, nor below the copied stack's floor);
// says nothing.
bool FindAwaitedSection(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                        const std::vector<FoundFrame>& found, const WaitFrames& wait, Address* section);

// The holder of section as its fields say now, while a thread waits for it;
// false when they no longer say that another than waiter holds it.
bool ReadSectionHolder(const ExaminedProcess& process, Address section, DWORD waiter, DWORD* owner);

#endif
