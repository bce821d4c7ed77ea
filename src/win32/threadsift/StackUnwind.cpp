#include <windows.h>
#include <imagehlp.h>

#include <cstring>

#include "threadsift/Bitness.h"
#include "threadsift/MemoryCache.h"
#include "threadsift/StackUnwind.h"
#include "threadsift/SymbolSession.h"

namespace {

// A walk that goes on longer than this is not a stack any more.
const unsigned kMaxFrames = 10000;

// True when the walk stands where it stood a step before.
bool SameFrame(const WalkFrame& a, const WalkFrame& b) {
  return a.AddrPC.Offset == b.AddrPC.Offset && a.AddrFrame.Offset == b.AddrFrame.Offset &&
         a.AddrStack.Offset == b.AddrStack.Offset;
}

}  // namespace

void FindFrames(HANDLE process, HANDLE thread, CONTEXT* context, std::vector<FoundFrame>* found) {
  WalkFrame frame;
  SetStartOfWalk(*context, &frame);
  WalkFrame previous;
  memset(&previous, 0, sizeof(previous));
  HANDLE symbols = SymbolsOf(process);
  WalkTableAccess tableAccess = TableAccessRoutine();
  WalkModuleBase moduleBase = ModuleBaseRoutine();
  for (unsigned count = 0; count < kMaxFrames && StepFrame(symbols, thread, &frame, context, ReadProcessMemoryCached,
                                                           tableAccess, moduleBase);
       ++count) {
    if (count > 0 && SameFrame(frame, previous)) break;
    previous = frame;
    if (frame.AddrPC.Offset == 0) continue;
    FoundFrame f = {frame.AddrPC.Offset,
                    {frame.Params[0], frame.Params[1], frame.Params[2], frame.Params[3]},
                    frame.AddrStack.Offset};
    found->push_back(f);
  }
}
