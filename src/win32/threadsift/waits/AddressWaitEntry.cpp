#include "threadsift/waits/AddressWaitEntry.h"

namespace {

// True when the entry at entry, whose words are next, previous, the
// address and the thread id, is thread tid's and lies in the queue.
bool IsQueuedEntryOf(const ExaminedProcess& process, const StackCopy& stack, DWORD tid, Address entry,
                     const Address* words) {
  Address next = words[0], previous = words[1], address = words[2], owner = words[3];
  if ((DWORD)owner != tid || address < kLowestObject || next < kLowestObject || previous < kLowestObject) {
    return false;
  }
  size_t wordSize = WordSizeOf(process.width);
  Address nextsPrevious = 0, previousNext = 0;
  return ReadTargetWordSafely(process.handle, stack, next + wordSize, wordSize, &nextsPrevious) &&
         nextsPrevious == entry && ReadTargetWordSafely(process.handle, stack, previous, wordSize, &previousNext) &&
         previousNext == entry;
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
