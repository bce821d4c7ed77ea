// The stack walk of threadsift_faulting.exe. That build of the tool calls
// FaultingStackWalk64 wherever threadsift calls StackWalk64 (the import is
// renamed at compile time), and this file supplies the import: it steps like
// StackWalk64, except that in the walk of one chosen thread it writes through
// a null pointer at a chosen step, or stops there for good. The access
// violation is a real one, raised inside the tool's guarded walk; the stop
// holds the walked thread suspended until the tool is killed.
//
// The environment variable THREADSIFT_FAULT_AT="<tid>:<step>" chooses the
// thread and the step (1 for the first call of a walk). Before it faults, it
// prints "FaultingStackWalk64: access violation at step <step>" so that the
// report shows where the walk was cut. THREADSIFT_STALL_AT="<tid>:<step>"
// chooses where it stops; it prints and flushes "FaultingStackWalk64:
// stalled at step <step>" first.
#include <windows.h>
#include <imagehlp.h>

#include <cstdio>

namespace {

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

BOOL WINAPI FaultingStackWalk(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame, PVOID context,
                              PREAD_PROCESS_MEMORY_ROUTINE64 readMemory,
                              PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                              PGET_MODULE_BASE_ROUTINE64 getModuleBase,
                              PTRANSLATE_ADDRESS_ROUTINE64 translateAddress) {
  static const FaultPlan fault = ReadPlan("THREADSIFT_FAULT_AT");
  static const FaultPlan stall = ReadPlan("THREADSIFT_STALL_AT");
  DWORD walked = GetThreadId(thread);
  if (walked != g_walkedThread) {
    g_walkedThread = walked;
    g_steps = 0;
  }
  ++g_steps;
  if (walked == stall.thread && g_steps == stall.step) {
    printf("FaultingStackWalk64: stalled at step %u\n", g_steps);
    fflush(stdout);
    Sleep(INFINITE);
  }
  if (walked == fault.thread && g_steps == fault.step) {
    printf("FaultingStackWalk64: access violation at step %u\n", g_steps);
    WriteThroughNull();
    printf("FaultingStackWalk64: the write did not fault\n");
    return FALSE;
  }
  return StackWalk64(machine, process, thread, frame, context, readMemory, functionTableAccess, getModuleBase,
                     translateAddress);
}

}  // namespace

// The import slot that the renamed calls read their target from.
extern "C" void* __imp_FaultingStackWalk64;
void* __imp_FaultingStackWalk64 = reinterpret_cast<void*>(&FaultingStackWalk);
