#include "common/TargetMemory.h"
#include "threadsift/waits/AddressWaitEntry.h"
#include "threadsift/waits/SlimLockWait.h"
#include "threadsift/waits/WaitBlockChain.h"

namespace {

// Wine's lock: where an exclusive waiter waits in it, and the count of
// holders that says it is held exclusively.
const Address kWineHoldersOffset = 2;
const Address kWineLockBytes = 4;
const SHORT kWineHeldExclusively = -1;

// Windows' lock: its flag bits, and where the count of sharers starts.
const Address kWindowsLocked = 0x1;
const Address kWindowsWaiting = 0x2;
const Address kWindowsMultipleShared = 0x8;
const unsigned kWindowsShareShift = 4;

bool IsAskedShared(const WaitFrames& frames) {
  for (const WaitRoutine* routine : frames.routines) {
    if (routine != NULL && routine->kind == SlimLockWaitRoutine && routine->asks == AsksShared) return true;
  }
  return false;
}

bool FindWineLock(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                  const std::vector<FoundFrame>& found, const WaitFrames& frames, SlimLockWait* wait) {
  Address waitedAt = 0;
  if (!FindAddressWaitEntry(process, stack, tid, found, frames, &waitedAt)) return false;
  Address lock = wait->shared ? waitedAt : waitedAt - kWineHoldersOffset;
  if (lock % kWineLockBytes != 0 || !MayReadTarget(process.handle, stack, lock, kWineLockBytes)) return false;
  wait->lock = lock;
  wait->layout = WineSlimLock;
  return true;
}

SlimLockState WineState(DWORD word, unsigned* sharedCount) {
  SHORT holders = (SHORT)(WORD)(word >> 16);
  if (holders == kWineHeldExclusively) return SlimLockHeldExclusively;
  if (holders == 0) return SlimLockFree;
  if (holders < 0) return SlimLockUnreadable;
  *sharedCount = (unsigned)holders;
  return SlimLockHeldShared;
}

SlimLockState WindowsState(Address word, unsigned* sharedCount) {
  if ((word & kWindowsLocked) == 0) return SlimLockFree;
  if ((word & kWindowsWaiting) != 0) return (word & kWindowsMultipleShared) != 0 ? SlimLockHeldShared : SlimLockHeld;
  Address sharers = word >> kWindowsShareShift;
  if (sharers == 0) return SlimLockHeldExclusively;
  if (sharers > 0xFFFFFFFFu) return SlimLockUnreadable;
  *sharedCount = (unsigned)sharers;
  return SlimLockHeldShared;
}

}  // namespace

bool FindSlimLockWait(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                      const std::vector<FoundFrame>& found, const WaitFrames& frames, SlimLockWait* wait) {
  wait->shared = IsAskedShared(frames);
  if (FindWineLock(process, stack, tid, found, frames, wait)) return true;
  wait->layout = WindowsSlimLock;
  return FindObjectChainedToWait(process, stack, found, frames, kWindowsWaiting, &wait->lock);
}

SlimLockState ReadSlimLockState(const ExaminedProcess& process, const SlimLockWait& wait, unsigned* sharedCount) {
  *sharedCount = 0;
  if (wait.layout == WineSlimLock) {
    DWORD word = 0;
    if (!ReadTargetMemory(process.handle, wait.lock, &word, sizeof(word))) return SlimLockUnreadable;
    return WineState(word, sharedCount);
  }
  Address word = 0;
  if (!ReadTargetWord(process.handle, wait.lock, WordSizeOf(process.width), &word)) return SlimLockUnreadable;
  return WindowsState(word, sharedCount);
}
