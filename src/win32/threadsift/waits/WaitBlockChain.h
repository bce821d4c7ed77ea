#ifndef THREADSIFT_WAIT_BLOCK_CHAIN_H
#define THREADSIFT_WAIT_BLOCK_CHAIN_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/WaitRoutines.h"

// On Windows the word of a slim lock or a condition variable that threads
// wait for holds, above its four flag bits, the address of its latest
// waiter's wait block, which lies on that waiter's stack; each block starts
// with the address of the block of the waiter before it (0 in the first).
// True when the chain from word reaches a block within [from, to), the wait
// frames of the thread asked about. A chain that loops, leaves the memory
// that may be read, or is longer than any process's waiters reaches none.
// Reads the blocks from the process (never from a guard page).
bool WaitBlockChainReaches(const ExaminedProcess& process, const StackCopy& stack, Address word, Address from,
                           Address to);

// The innermost word of a wait's frames that addresses an object (a slim
// lock, a condition variable) whose word has the flags and a chain of wait
// blocks that reaches those frames: the object the wait is on.
bool FindObjectChainedToWait(const ExaminedProcess& process, const StackCopy& stack,
                             const std::vector<FoundFrame>& found, const WaitFrames& frames, Address flags,
                             Address* object);

#endif
