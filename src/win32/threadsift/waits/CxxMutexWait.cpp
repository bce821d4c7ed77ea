#include <cstring>

#include "common/TargetMemory.h"
#include "threadsift/waits/CxxMutexWait.h"
#include "threadsift/waits/SlimLockWait.h"

namespace {

// Where the slim lock and the holder's id lie in the mutex, in each width:
// after the type word, a union aligned to a pointer whose second pointer is
// the lock, then the id.
const Address kLockOffset64 = 16, kHolderOffset64 = 72;
const Address kLockOffset32 = 8, kHolderOffset32 = 40;
// The type word: plain, try, timed, recursive, and their combinations.
const DWORD kMutexTypeBits = 0x107;
const DWORD kMutexKindBits = 0x7;
const DWORD kNoHolder = 0xFFFFFFFF;

Address LockOffset(ProcessWidth width) { return width == Width64 ? kLockOffset64 : kLockOffset32; }
Address HolderOffset(ProcessWidth width) { return width == Width64 ? kHolderOffset64 : kHolderOffset32; }

bool IsMutexType(DWORD type) { return (type & ~kMutexTypeBits) == 0 && (type & kMutexKindBits) != 0; }

bool ReadDword(HANDLE process, Address address, DWORD* value) {
  return ReadTargetMemory(process, address, value, sizeof(*value));
}

}  // namespace

bool FindCxxMutexWait(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                      const std::vector<FoundFrame>& found, const WaitFrames& frames, Address* mutex) {
  SlimLockWait lock;
  Address offset = LockOffset(process.width);
  if (!FindSlimLockWait(process, stack, tid, found, frames, &lock) || lock.lock < offset) return false;
  Address start = lock.lock - offset;
  DWORD type = 0;
  size_t size = (size_t)(HolderOffset(process.width) + sizeof(DWORD));
  if (!MayReadTarget(process.handle, stack, start, size) || !ReadDword(process.handle, start, &type) ||
      !IsMutexType(type)) {
    return false;
  }
  *mutex = start;
  return true;
}

bool ReadCxxMutexHolder(const ExaminedProcess& process, Address mutex, DWORD waiter, DWORD* holder) {
  // One read, so that the type word and the id are of one moment.
  BYTE object[kHolderOffset64 + sizeof(DWORD)];
  size_t holderAt = (size_t)HolderOffset(process.width);
  if (!ReadTargetMemory(process.handle, mutex, object, holderAt + sizeof(DWORD))) return false;
  DWORD type = 0, id = 0;
  memcpy(&type, object, sizeof(type));
  memcpy(&id, object + holderAt, sizeof(id));
  if (!IsMutexType(type) || id == kNoHolder || id == 0 || id == waiter) return false;
  *holder = id;
  return true;
}
