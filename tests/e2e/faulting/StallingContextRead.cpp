// The register read of threadsift_faulting.exe. That build calls
// FaultingGetThreadContext wherever threadsift calls GetThreadContext
// (renamed at compile time, as the stack walk is), and this file supplies
// the import: it answers as GetThreadContext, except that its nth call stops
// for good. The tool reads a thread's registers while it holds the thread,
// so the stop holds that thread suspended until the tool is killed.
//
// The environment variable THREADSIFT_STALL_AT_CONTEXT="<n>" chooses the
// call (1 for the first). It prints and flushes "FaultingGetThreadContext:
// stalled at call <n>" first, so that the report so far shows the thread in
// hand.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

BOOL WINAPI FaultingGetThreadContext(HANDLE thread, LPCONTEXT context) {
  static unsigned calls = 0;
  static const unsigned stallAt = []() {
    char text[32];
    DWORD n = GetEnvironmentVariableA("THREADSIFT_STALL_AT_CONTEXT", text, sizeof(text));
    return n == 0 || n >= sizeof(text) ? 0u : (unsigned)strtoul(text, NULL, 10);
  }();
  if (++calls == stallAt) {
    printf("FaultingGetThreadContext: stalled at call %u\n", calls);
    fflush(stdout);
    Sleep(INFINITE);
  }
  return GetThreadContext(thread, context);
}

}  // namespace

// The import slot that the renamed calls read their target from. On i386 it
// carries the decorated name of a function of two stack words.
#if defined(_WIN64)
extern "C" void* __imp_FaultingGetThreadContext;
void* __imp_FaultingGetThreadContext = reinterpret_cast<void*>(&FaultingGetThreadContext);
#else
extern "C" void* FaultingGetThreadContextSlot __asm__("__imp__FaultingGetThreadContext@8");
void* FaultingGetThreadContextSlot = reinterpret_cast<void*>(&FaultingGetThreadContext);
#endif
