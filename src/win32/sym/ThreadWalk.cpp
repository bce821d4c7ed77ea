#include <windows.h>
#include <imagehlp.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/NativeStatus.h"
#include "sym/FaultGuard.h"
#include "sym/Interrupt.h"
#include "sym/MemoryCache.h"
#include "sym/ModuleTable.h"
#include "sym/ScopedHandle.h"
#include "sym/StackCopy.h"
#include "sym/ThreadCpu.h"
#include "sym/ThreadWalk.h"

LineLookup g_lineLookup = NULL;

namespace {

typedef LONG(WINAPI* NtOpenThreadFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, CLIENT_ID*);

const DWORD kSuspendFailed = 0xFFFFFFFF;
const size_t kSymbolBufferSize = 4096;
const DWORD kUndecoratedCapacity = 4095;
// A walk that goes on longer than this is not a stack any more.
const unsigned kMaxFrames = 10000;

#if defined(_WIN64)
const DWORD kMachineType = IMAGE_FILE_MACHINE_AMD64;
const DWORD kContextFlags = CONTEXT_FULL;
#else
const DWORD kMachineType = IMAGE_FILE_MACHINE_I386;
const DWORD kContextFlags = 0x10007;  // i386 control, integer and segment registers
#endif

// The buffers of one walk, reused for every frame.
struct FrameBuffers {
  char symbol[kSymbolBufferSize];
  char undecorated[kSymbolBufferSize];
};

void SetStartOfWalk(const CONTEXT& context, WalkFrame* frame) {
  memset(frame, 0, sizeof(*frame));
#if defined(_WIN64)
  frame->AddrPC.Offset = context.Rip;
  frame->AddrFrame.Offset = context.Rbp;
  frame->AddrStack.Offset = context.Rsp;
#else
  frame->AddrPC.Offset = context.Eip;
  frame->AddrFrame.Offset = context.Ebp;
  frame->AddrStack.Offset = context.Esp;
#endif
  frame->AddrPC.Mode = AddrModeFlat;
  frame->AddrFrame.Mode = AddrModeFlat;
  frame->AddrStack.Mode = AddrModeFlat;
}

BOOL StepFrame(HANDLE process, HANDLE thread, WalkFrame* frame, CONTEXT* context) {
#if defined(_WIN64)
  return StackWalk64(kMachineType, process, thread, frame, context, ReadProcessMemoryCached,
                     SymFunctionTableAccess64, SymGetModuleBase64, NULL);
#else
  return StackWalk(kMachineType, process, thread, frame, context, ReadProcessMemoryCached, SymFunctionTableAccess,
                   SymGetModuleBase, NULL);
#endif
}

// " file(line)" when the line lookup knows the address.
void PrintSourceLine(HANDLE process, Address pc, DWORD* displacement) {
  if (g_lineLookup == NULL) return;
  WalkLine line;
  memset(&line, 0, sizeof(line));
  line.SizeOfStruct = sizeof(line);
  if (g_lineLookup(process, pc, displacement, &line) && line.FileName != NULL) {
    printf(" %s(%u)", line.FileName, (unsigned)line.LineNumber);
  }
}

// Prints one frame's line: address, module, symbol with its argument words
// and displacement, and source line.
void PrintFrame(HANDLE process, const FoundFrame& frame, FrameBuffers* buffers) {
  Address pc = frame.pc;
  printf(THREADSIFT_ADDRESS " = ", (PrintedAddress)pc);
  const char* module = FindModuleBaseName(pc);
  if (module != NULL) printf("%12s!", module);

  WalkSymbol* symbol = (WalkSymbol*)buffers->symbol;
  SymbolDisplacement displacement = 0;
  if (!LookUpSymbol(process, pc, &displacement, symbol, kSymbolBufferSize)) {
    printf(THREADSIFT_ADDRESS "()\n", (PrintedAddress)pc);
    return;
  }
  if (!UnDecorateSymbolName(symbol->Name, buffers->undecorated, kUndecoratedCapacity, UNDNAME_COMPLETE)) {
    printf("UnDecorateSymbolName error %d\n", (int)GetLastError());
    return;
  }

  std::string text = buffers->undecorated;
  char scratch[80];
  sprintf(scratch, "(" THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS ")",
          (PrintedAddress)frame.params[0], (PrintedAddress)frame.params[1], (PrintedAddress)frame.params[2],
          (PrintedAddress)frame.params[3]);
  text += scratch;
  if (displacement != 0) {
    sprintf(scratch, "%+d", (int)displacement);
    text += scratch;
  }
  printf("%s", text.c_str());
  DWORD lineDisplacement = (DWORD)displacement;
  PrintSourceLine(process, pc, &lineDisplacement);
  printf("\n");
}

// True when the walk stands where it stood a step before.
bool SameFrame(const WalkFrame& a, const WalkFrame& b) {
  return a.AddrPC.Offset == b.AddrPC.Offset && a.AddrFrame.Offset == b.AddrFrame.Offset &&
         a.AddrStack.Offset == b.AddrStack.Offset;
}

struct GuardedWalk {
  HANDLE process;
  HANDLE thread;
  ThreadHold* hold;
  std::vector<FoundFrame>* found;
};

int WalkThreadStackOf(void* context) {
  GuardedWalk* walk = (GuardedWalk*)context;
  return WalkThreadStack(walk->process, walk->thread, &walk->hold->held, walk->found);
}

int FindFramesOf(void* context) {
  GuardedWalk* walk = (GuardedWalk*)context;
  FindFrames(walk->process, walk->thread, &walk->hold->held.context, walk->found);
  return 1;
}

int PrintFramesOf(void* context) {
  GuardedWalk* walk = (GuardedWalk*)context;
  PrintFrames(walk->process, *walk->found);
  return 1;
}

// A base read before the hold that does not lie above the stack pointer is
// another stack's (the thread switched fibers, say): it is read again, with
// the limit below it, so that the stack is still copied whole.
void ReadStackBaseAgain(HANDLE process, HANDLE thread, Address stackPointer, HeldThread* held) {
  if (held->stackBase == 0 || held->stackBase > stackPointer) return;
  held->stackBase = StackBaseOf(process, thread);
  held->stackLimit = held->stackBase > stackPointer ? StackLimitOf(process, held->stackBase) : 0;
}

Address StackPointerOf(const CONTEXT& context) {
#if defined(_WIN64)
  return context.Rsp;
#else
  return context.Esp;
#endif
}

}  // namespace

int BindLineLookup() {
  HMODULE imagehlp = GetModuleHandleA("ImageHlp");
  if (imagehlp == NULL) {
    printf("GetModuleHandle ImageHlp error %d\n", (int)GetLastError());
    return 1;
  }
  g_lineLookup = reinterpret_cast<LineLookup>(
      reinterpret_cast<void*>(GetProcAddress(imagehlp, THREADSIFT_LINE_LOOKUP_NAME)));
  return 0;
}

BOOL LookUpSymbol(HANDLE process, Address pc, SymbolDisplacement* displacement, WalkSymbol* symbol,
                  size_t bufferSize) {
  symbol->SizeOfStruct = sizeof(WalkSymbol);
  symbol->Address = 0;
  symbol->Size = 0;
  symbol->Flags = 0;
  symbol->MaxNameLength = (DWORD)(bufferSize - sizeof(WalkSymbol) - 1);
#if defined(_WIN64)
  return SymGetSymFromAddr64(process, pc, displacement, symbol);
#else
  return SymGetSymFromAddr(process, pc, displacement, symbol);
#endif
}

HANDLE OpenThreadQuietly(DWORD access, DWORD pid, DWORD tid, const char** failedCall) {
  HMODULE ntdll = GetModuleHandleA("ntdll");
  if (ntdll == NULL) {
    *failedCall = "GetModuleHandle";
    return NULL;
  }
  NtOpenThreadFn ntOpenThread =
      reinterpret_cast<NtOpenThreadFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtOpenThread")));
  if (ntOpenThread == NULL) {
    *failedCall = "GetProcAddress";
    return NULL;
  }
  OBJECT_ATTRIBUTES attributes;
  memset(&attributes, 0, sizeof(attributes));
  attributes.Length = sizeof(attributes);
  // With the process named too, a thread id that another process has taken
  // over since the snapshot is refused instead of opened.
  CLIENT_ID client;
  client.UniqueProcess = (HANDLE)(UINT_PTR)pid;
  client.UniqueThread = (HANDLE)(UINT_PTR)tid;
  HANDLE thread = NULL;
  LONG status = ntOpenThread(&thread, access, &attributes, &client);
  if (status != 0) {
    SetLastErrorFromStatus(status);
    *failedCall = "NtOpenThread";
    return NULL;
  }
  return thread;
}

HANDLE OpenThread(DWORD access, DWORD pid, DWORD tid) {
  const char* failedCall = "";
  HANDLE thread = OpenThreadQuietly(access, pid, tid, &failedCall);
  if (thread == NULL) printf("%s error %d\n", failedCall, (int)GetLastError());
  return thread;
}

int WalkThreadStack(HANDLE process, HANDLE thread, HeldThread* held, std::vector<FoundFrame>* found) {
  memset(&held->context, 0, sizeof(held->context));
  held->context.ContextFlags = kContextFlags;
  held->stackCopied = false;
  if (!GetThreadContext(thread, &held->context)) return 0;
  ReadStackBaseAgain(process, thread, StackPointerOf(held->context), held);
  held->stackCopied = CopyThreadStack(process, StackPointerOf(held->context), held->stackBase, held->stackLimit);
  if (!held->stackCopied) FindFrames(process, thread, &held->context, found);
  return 1;
}

void FindFrames(HANDLE process, HANDLE thread, CONTEXT* context, std::vector<FoundFrame>* found) {
  WalkFrame frame;
  SetStartOfWalk(*context, &frame);
  WalkFrame previous;
  memset(&previous, 0, sizeof(previous));
  for (unsigned count = 0; count < kMaxFrames && StepFrame(process, thread, &frame, context); ++count) {
    if (count > 0 && SameFrame(frame, previous)) break;
    previous = frame;
    if (frame.AddrPC.Offset == 0) continue;
    FoundFrame f = {frame.AddrPC.Offset, {frame.Params[0], frame.Params[1], frame.Params[2], frame.Params[3]}};
    found->push_back(f);
  }
}

void PrintFrames(HANDLE process, const std::vector<FoundFrame>& found) {
  static FrameBuffers buffers;  // 8 KB, reused by every walk
  for (const FoundFrame& frame : found) PrintFrame(process, frame, &buffers);
}

HoldOutcome HoldThread(HANDLE process, HANDLE thread, Address stackBase, std::vector<FoundFrame>* found,
                       ThreadHold* hold, ULONGLONG* holdTicks) {
  hold->held.stackCopied = false;
  hold->walked = 0;
  ForgetStackPages();
  hold->held.stackBase = stackBase;
  hold->held.stackLimit = StackLimitOf(process, stackBase);
  // Once the console is closing the platform is about to end the tool:
  // the thread is left running, unwalked.
  if (!BeginHold()) return HoldRefused;
  ULONGLONG suspendedAt = 0, resumedAt = 0;
  bool clocked = holdTicks != NULL && ReadClock(&suspendedAt);
  if (SuspendThread(thread) == kSuspendFailed) {
    EndHold();
    return SuspendRefused;
  }
  // A fault or exception inside the walk ends it; the frames found so far
  // are kept, and the thread is resumed as after a complete walk.
  GuardedWalk walk = {process, thread, hold, found};
  hold->walked = 1;
  if (!CallGuarded(WalkThreadStackOf, &walk, &hold->walked)) hold->walked = 1;
  hold->walkError = GetLastError();
  hold->resumed = ResumeThread(thread);
  hold->resumeError = GetLastError();
  EndHold();
  if (holdTicks != NULL) {
    *holdTicks = clocked && ReadClock(&resumedAt) && resumedAt > suspendedAt ? resumedAt - suspendedAt : 0;
  }
  return HeldAndResumed;
}

bool ResumeFailed(const ThreadHold& hold) { return hold.resumed == kSuspendFailed; }

void FindCopiedFrames(HANDLE process, HANDLE thread, ThreadHold* hold, std::vector<FoundFrame>* found) {
  if (!hold->walked || !hold->held.stackCopied) return;
  GuardedWalk walk = {process, thread, hold, found};
  int done = 1;
  CallGuarded(FindFramesOf, &walk, &done);
}

int WalkThread(HANDLE process, DWORD pid, DWORD tid) {
  HANDLE thread = OpenThread(kThreadAllAccess, pid, tid);
  if (thread == NULL) {
    printf("OpenThread error %d\n", (int)GetLastError());
    return 0;
  }
  ScopedHandle threadOwner(thread);
  // The thread is held only while its registers are read and its stack is
  // copied: the unwinding, which may load symbol files, runs over the copy
  // once the thread runs again, and symbols, lines and output follow.
  std::vector<FoundFrame> found;
  found.reserve(kUsualFrames);
  ThreadHold hold;
  HoldOutcome outcome = HoldThread(process, thread, StackBaseOf(process, thread), &found, &hold, NULL);
  if (outcome == HoldRefused) return 1;
  if (outcome == SuspendRefused) {
    printf("SuspendThread error %d\n", (int)GetLastError());
    return 0;
  }
  if (!hold.walked) {
    printf("GetThreadContext error %d\n", (int)hold.walkError);
    printf("WalkThreadStack error %d\n", (int)hold.walkError);
  } else {
    FindCopiedFrames(process, thread, &hold, &found);
    GuardedWalk walk = {process, thread, &hold, &found};
    int done = 1;
    CallGuarded(PrintFramesOf, &walk, &done);
  }
  SetLastError(hold.resumeError);
  if (ResumeFailed(hold)) {
    printf("ResumeThread error %d\n", (int)hold.resumeError);
    return 0;
  }
  return hold.walked;
}

CaptureOutcome CaptureThread(HANDLE process, HANDLE thread, Address* stackBase, std::vector<FoundFrame>* found,
                             ULONGLONG* holdTicks) {
  found->clear();
  *holdTicks = 0;
  ThreadHold hold;
  if (HoldThread(process, thread, *stackBase, found, &hold, holdTicks) != HeldAndResumed) return Missed;
  *stackBase = hold.held.stackBase;
  if (ResumeFailed(hold)) {
    SetLastError(hold.resumeError);
    return ResumeRefused;
  }
  if (!hold.walked) return Missed;
  FindCopiedFrames(process, thread, &hold, found);
  return Captured;
}
