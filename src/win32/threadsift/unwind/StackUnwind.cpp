#include <windows.h>
#include <imagehlp.h>

#include <cstring>

#include "threadsift/base/Bitness.h"
#include "threadsift/unwind/MemoryCache.h"
#include "threadsift/unwind/StackUnwind.h"
#include "threadsift/modules/SymbolSession.h"

namespace {

// A walk that goes on longer than this is not a stack any more.
const unsigned kMaxFrames = 10000;

// What the platform's walk routines need of the walk in hand, which calls
// them with nothing but the symbol session's handle.
struct WalkInHand {
  ExaminedProcess* process;
  const StackCopy* stack;
  WalkReads* reads;  // null: the reads are not noted
};

// The walk in hand while a step of it runs, for the routines the platform
// calls back (they have no other way to reach it); every step sets it
// before the platform can call back, and one that returns clears it. (A
// fault inside a step is caught outside the walk, past the clearing: the
// next step sets it again before anything reads it.)
WalkInHand* g_walkInHand = NULL;

struct StepScope {
  explicit StepScope(WalkInHand* walk) { g_walkInHand = walk; }
  ~StepScope() { g_walkInHand = NULL; }
};

BOOL CALLBACK ReadForStep(HANDLE, Address address, PVOID buffer, DWORD size, LPDWORD read) {
  if (g_walkInHand == NULL) return FALSE;
  DWORD done = 0;
  BOOL ok = ReadForWalk(*g_walkInHand->process, *g_walkInHand->stack, address, buffer, size, &done);
  if (read != NULL) *read = done;
  if (g_walkInHand->reads != NULL) {
    NoteWalkRead(*g_walkInHand->process, *g_walkInHand->stack, address, size, ok, done, g_walkInHand->reads);
  }
  return ok;
}

// With a shared symbol session, unwind data and module bases are answered
// only within the modules of the process in hand: another process's module
// left in the session never unwinds a frame of this one.
PVOID CALLBACK TableAccessInProcess(HANDLE session, Address address) {
  if (g_walkInHand == NULL || !SymbolsServe(*g_walkInHand->process, address)) return NULL;
  return PlatformTableAccess()(session, address);
}

Address CALLBACK ModuleBaseInProcess(HANDLE session, Address address) {
  if (g_walkInHand == NULL || !SymbolsServe(*g_walkInHand->process, address)) return 0;
  return PlatformModuleBase()(session, address);
}

// One step of the walk from frame, with the walk in hand set for the
// platform's call-backs.
BOOL Step(WalkInHand* walk, HANDLE thread, WalkFrame* frame, WalkContext* context) {
  StepScope scope(walk);
  const SymbolSession& symbols = *walk->process->symbols;
  WalkTableAccess tableAccess = symbols.shared ? TableAccessInProcess : PlatformTableAccess();
  WalkModuleBase moduleBase = symbols.shared ? ModuleBaseInProcess : PlatformModuleBase();
  return StepFrame(WalkMachineOf(context->width), symbols.key, thread, frame, WalkRecordOf(context), ReadForStep,
                   tableAccess, moduleBase);
}

// True when the walk stands where it stood a step before.
bool SameFrame(const WalkFrame& a, const WalkFrame& b) {
  return a.AddrPC.Offset == b.AddrPC.Offset && a.AddrFrame.Offset == b.AddrFrame.Offset &&
         a.AddrStack.Offset == b.AddrStack.Offset;
}

}  // namespace

void FindFrames(ExaminedProcess& process, HANDLE thread, WalkContext* context, const StackCopy& stack,
                std::vector<FoundFrame>* found, WalkReads* reads) {
  WalkInHand walk = {&process, &stack, reads};
  WalkFrame frame;
  SetStartOfWalk(*context, &frame);
  WalkFrame previous;
  memset(&previous, 0, sizeof(previous));
  for (unsigned count = 0; count < kMaxFrames && Step(&walk, thread, &frame, context); ++count) {
    if (count > 0 && SameFrame(frame, previous)) break;
    previous = frame;
    if (frame.AddrPC.Offset == 0) continue;
    FoundFrame f = {frame.AddrPC.Offset,
                    {frame.Params[0], frame.Params[1], frame.Params[2], frame.Params[3]},
                    frame.AddrStack.Offset};
    found->push_back(f);
  }
}
