#ifndef THREADSIFT_SLIM_LOCK_WAIT_H
#define THREADSIFT_SLIM_LOCK_WAIT_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/report/ReportRecord.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/WaitRoutines.h"

// The layout of a slim lock's word: Wine's (a 16-bit count of exclusive
// waiters, then a 16-bit count of holders, -1 when held exclusively), or
// Windows' (flag bits, then a count of sharers or the address of a chain
// of wait blocks).
enum SlimLockLayout { WineSlimLock, WindowsSlimLock };

struct SlimLockWait {
  Address lock = 0;
  bool shared = false;  // asked for shared, not exclusively
  SlimLockLayout layout = WineSlimLock;
};

// The reader of a slim-lock wait. Once the thread runs again, over its
// stack copy: the slim lock thread tid waits to acquire, whose wait frames
// are frames, accepted only where the platform's own record of the wait
// ties it to this thread: under Wine the thread's address-wait entry (an
// exclusive waiter waits at the count of holders, two bytes into the lock,
// a shared one at the lock itself); on Windows a word of the wait frames
// that addresses a lock whose chain of wait blocks reaches those frames.
// Says nothing.
bool FindSlimLockWait(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                      const std::vector<FoundFrame>& found, const WaitFrames& frames, SlimLockWait* wait);

// How the lock's word says it is held now, and by how many sharers (0
// where the word does not say).
SlimLockState ReadSlimLockState(const ExaminedProcess& process, const SlimLockWait& wait, unsigned* sharedCount);

#endif
