#ifndef THREADSIFT_ADDRESS_WAIT_ENTRY_H
#define THREADSIFT_ADDRESS_WAIT_ENTRY_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/WaitRoutines.h"

// Under Wine a thread that waits for the value at an address to change
// (slim locks and condition variables wait that way too) keeps an entry in
// its own wait frames: the two links of that address's queue of waiters,
// the address, and the thread's id. True when the wait frames of thread tid
// hold an entry with its id, an address, and neighbours in the queue that
// both link back to it: the address it waits at. Reads the neighbours from
// the process (never from a guard page); says nothing.
bool FindAddressWaitEntry(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                          const std::vector<FoundFrame>& found, const WaitFrames& wait, Address* address);

#endif
