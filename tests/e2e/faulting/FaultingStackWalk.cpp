// The stack walk of threadsift_faulting.exe. That build of the tool calls
// FaultingStackWalk64 wherever threadsift calls StackWalk64 (FaultingStackWalk
// for StackWalk on 32-bit; the import is renamed at compile time), and this
// file supplies the import: it steps like the walk it stands for, except that in the walk of one chosen thread it
// writes through a null pointer at a chosen step, or stops there for good. The access violation is a real one, raised
// inside the tool's guarded walk; the stop holds the walked thread suspended until the tool is killed.
//
// The environment variable THREADSIFT_FAULT_AT="<tid>:<step>" chooses the
// thread and the step (1 for the first call of a walk). Before it faults, it
// prints "FaultingStackWalk64: access violation at step <step>" so that the
// report shows where the walk was cut. THREADSIFT_STALL_AT="<tid>:<step>"
// chooses where it stops; it prints and flushes "FaultingStackWalk64:
// stalled at step <step>" first. The 32-bit build says "FaultingStackWalk".
#include <windows.h>
#include <imagehlp.h>

#include <cstdio>

namespace {

#if defined(_WIN64)
#define FAULTING_WALK_NAME "FaultingStackWalk64"
typedef LPSTACKFRAME64 WalkFrame;
typedef PREAD_PROCESS_MEMORY_ROUTINE64 ReadMemory;
typedef PFUNCTION_TABLE_ACCESS_ROUTINE64 FunctionTableAccess;
typedef PGET_MODULE_BASE_ROUTINE64 GetModuleBase;
typedef PTRANSLATE_ADDRESS_ROUTINE64 TranslateAddress;
#else
#define FAULTING_WALK_NAME "FaultingStackWalk"
typedef LPSTACKFRAME WalkFrame;
typedef PREAD_PROCESS_MEMORY_ROUTINE ReadMemory;
typedef PFUNCTION_TABLE_ACCESS_ROUTINE FunctionTableAccess;
typedef PGET_MODULE_BASE_ROUTINE GetModuleBase;
typedef PTRANSLATE_ADDRESS_ROUTINE TranslateAddress;
#endif

struct FaultPlan {
  DWORD thread = 0;
  unsigned step = 0;
};

FaultPlan ReadPlan(const char* variable) {
  FaultPlan plan;
  char text[64];
  DWORD length = GetEnvironmentVariableA(variable, text, sizeof(text));
  if (length == 0 || length >= sizeof(text) || sscanf(text, "%lu:%u", &plan.thread, &plan.step) != 2) {
    return FaultPlan();
  }
  return plan;
}

// The thread of the walk in progress and the number of steps it has taken.
DWORD g_walkedThread = 0;
unsigned g_steps = 0;

void WriteThroughNull() {
  // Both the pointer and its target are volatile: the compiler can neither
  // see that the pointer is null nor drop the store.
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

BOOL WINAPI FaultingStackWalk(DWORD machine, HANDLE process, HANDLE thread, WalkFrame frame, PVOID context,
                              ReadMemory readMemory, FunctionTableAccess functionTableAccess,
                              GetModuleBase getModuleBase, TranslateAddress translateAddress) {
  static const FaultPlan fault = ReadPlan("THREADSIFT_FAULT_AT");
  static const FaultPlan stall = ReadPlan("THREADSIFT_STALL_AT");
  DWORD walked = GetThreadId(thread);
  if (walked != g_walkedThread) {
    g_walkedThread = walked;
    g_steps = 0;
  }
  ++g_steps;
  if (walked == stall.thread && g_steps == stall.step) {
    printf(FAULTING_WALK_NAME ": stalled at step %u\n", g_steps);
    fflush(stdout);
    Sleep(INFINITE);
  }
  if (walked == fault.thread && g_steps == fault.step) {
    printf(FAULTING_WALK_NAME ": access violation at step %u\n", g_steps);
    WriteThroughNull();
    printf(FAULTING_WALK_NAME ": the write did not fault\n");
    return FALSE;
  }
#if defined(_WIN64)
  return StackWalk64(machine, process, thread, frame, context, readMemory, functionTableAccess, getModuleBase,
                     translateAddress);
#else
  return StackWalk(machine, process, thread, frame, context, readMemory, functionTableAccess, getModuleBase,
                   translateAddress);
#endif
}

}  // namespace

// The import slot that the renamed calls read their target from; on 32-bit
// its name carries the decoration of a __stdcall function of 36 argument bytes.
#if defined(_WIN64)
extern "C" void* __imp_FaultingStackWalk64;
void* __imp_FaultingStackWalk64 = reinterpret_cast<void*>(&FaultingStackWalk);
#else
extern "C" void* g_faultingStackWalkImport __asm__("__imp__FaultingStackWalk@36");
void* g_faultingStackWalkImport = reinterpret_cast<void*>(&FaultingStackWalk);
#endif
