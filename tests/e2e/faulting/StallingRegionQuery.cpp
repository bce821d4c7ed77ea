// The region query of threadsift_faulting.exe. That build calls
// FaultingVirtualQueryEx wherever threadsift calls VirtualQueryEx (renamed at
// compile time, as the stack walk is), and this file supplies the import: it
// answers as VirtualQueryEx, except that its nth call stops for good. The
// tool queries the region of a thread's stack while it holds the thread, so
// the stop holds that thread suspended until the tool is killed.
//
// The environment variable THREADSIFT_STALL_AT_QUERY="<n>" chooses the call
// (1 for the first). It prints and flushes "FaultingVirtualQueryEx: stalled
// at call <n>" first, so that the report so far shows the thread in hand.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

SIZE_T WINAPI FaultingVirtualQueryEx(HANDLE process, LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length) {
  static unsigned calls = 0;
  static const unsigned stallAt = []() {
    char text[32];
    DWORD n = GetEnvironmentVariableA("THREADSIFT_STALL_AT_QUERY", text, sizeof(text));
    return n == 0 || n >= sizeof(text) ? 0u : (unsigned)strtoul(text, NULL, 10);
  }();
  if (++calls == stallAt) {
    printf("FaultingVirtualQueryEx: stalled at call %u\n", calls);
    fflush(stdout);
    Sleep(INFINITE);
  }
  return VirtualQueryEx(process, address, info, length);
}

}  // namespace

// The import slot that the renamed calls read their target from. On i386 it
// carries the decorated name of a function of four stack words.
#if defined(_WIN64)
extern "C" void* __imp_FaultingVirtualQueryEx;
void* __imp_FaultingVirtualQueryEx = reinterpret_cast<void*>(&FaultingVirtualQueryEx);
#else
extern "C" void* FaultingVirtualQueryExSlot __asm__("__imp__FaultingVirtualQueryEx@16");
void* FaultingVirtualQueryExSlot = reinterpret_cast<void*>(&FaultingVirtualQueryEx);
#endif
