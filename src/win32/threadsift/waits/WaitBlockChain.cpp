#include <algorithm>
#include <set>

#include "threadsift/waits/WaitBlockChain.h"

namespace {

// The flag bits below a wait block's address, which aligns blocks to 16.
const Address kFlagBits = 0xF;
// More waiters than this on one lock are a chain that loops.
const size_t kMaxChainedWaiters = 4096;

}  // namespace

bool WaitBlockChainReaches(const ExaminedProcess& process, const StackCopy& stack, Address word, Address from,
                           Address to) {
  size_t wordSize = WordSizeOf(process.width);
  std::set<Address> seen;
  for (Address block = word & ~kFlagBits; block >= kLowestObject && seen.size() < kMaxChainedWaiters;) {
    if (block >= from && block < to) return true;
    if (!seen.insert(block).second) return false;
    Address before = 0;
    if (!ReadTargetWordSafely(process.handle, stack, block, wordSize, &before) || (before & kFlagBits) != 0) {
      return false;
    }
    block = before;
  }
  return false;
}

bool FindObjectChainedToWait(const ExaminedProcess& process, const StackCopy& stack,
                             const std::vector<FoundFrame>& found, const WaitFrames& frames, Address flags,
                             Address* object) {
  Address from = 0, to = 0;
  if (!WaitFrameBytes(found, frames, &from, &to)) return false;
  size_t wordSize = WordSizeOf(process.width);
  std::vector<Address> tried;
  for (Address at = from; at < to; at += wordSize) {
    Address candidate = 0, word = 0;
    if (!CopiedWord(stack, at, process.width, &candidate)) return false;
    if (candidate < kLowestObject || candidate % wordSize != 0) continue;
    if (std::find(tried.begin(), tried.end(), candidate) != tried.end()) continue;
    tried.push_back(candidate);
    if (!ReadTargetWordSafely(process.handle, stack, candidate, wordSize, &word) || (word & flags) != flags) {
      continue;
    }
    if (WaitBlockChainReaches(process, stack, word, from, to)) {
      *object = candidate;
      return true;
    }
  }
  return false;
}
