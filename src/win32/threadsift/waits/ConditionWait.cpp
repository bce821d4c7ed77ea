#include "threadsift/waits/AddressWaitEntry.h"
#include "threadsift/waits/ConditionWait.h"
#include "threadsift/waits/WaitBlockChain.h"

bool FindConditionVariable(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                           const std::vector<FoundFrame>& found, const WaitFrames& frames, Address* variable) {
  Address waitedAt = 0;
  if (FindAddressWaitEntry(process, stack, tid, found, frames, &waitedAt)) {
    if (waitedAt % WordSizeOf(process.width) != 0) return false;
    *variable = waitedAt;
    return true;
  }
  return FindObjectChainedToWait(process, stack, found, frames, 0, variable);
}
