#include "common/TargetMemory.h"
#include "threadsift/waits/AddressWaitEntry.h"

namespace {

// No object lies in the lowest 64 KB, which the platform never maps.
const Address kLowestObject = 0x10000;

// The word at address of the process, where it may be read.
bool ReadWord(const ExaminedProcess& process, const StackCopy& stack, Address address, Address* word) {
  size_t size = WordSizeOf(process.width);
  return MayReadTarget(process.handle, stack, address, size) && ReadTargetWord(process.handle, address, size, word);
}

// True when the entry at entry, whose words are next, previous, the
// address and the thread id, is thread tid's and lies in the queue.
bool IsQueuedEntryOf(const ExaminedProcess& process, const StackCopy& stack, DWORD tid, Address entry,
                     const Address* words) {
  Address next = words[0], previous = words[1], address = words[2], owner = words[3];
  if ((DWORD)owner != tid || address < kLowestObject || next < kLowestObject || previous < kLowestObject) {
    return false;
  }
  Address nextsPrevious = 0, previousNext = 0;
  return ReadWord(process, stack, next + WordSizeOf(process.width), &nextsPrevious) && nextsPrevious == entry &&
         ReadWord(process, stack, previous, &previousNext) && previousNext == entry;
}

}  // namespace

bool FindAddressWaitEntry(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                          const std::vector<FoundFrame>& found, const WaitFrames& wait, Address* address) {
  Address from = 0, to = 0;
  if (!WaitFrameBytes(found, wait, &from, &to)) return false;
  const size_t kEntryWords = 4;
  Address wordSize = WordSizeOf(process.width);
  for (Address entry = from; entry + kEntryWords * wordSize <= to; entry += wordSize) {
    Address words[kEntryWords];
    bool copied = true;
    for (size_t i = 0; i < kEntryWords && copied; ++i) {
      copied = CopiedWord(stack, entry + i * wordSize, process.width, &words[i]);
    }
    if (!copied) return false;
    if (IsQueuedEntryOf(process, stack, tid, entry, words)) {
      *address = words[2];
      return true;
    }
  }
  return false;
}
