#ifndef THREADSIFT_SYM_INTERRUPT_H
#define THREADSIFT_SYM_INTERRUPT_H

#include <windows.h>

#include <atomic>

// Raised to 1 by ConsoleCtrlHandler and never lowered. The handler runs on a
// thread of the platform's; the main thread reads the flag with single loads.
extern std::atomic<LONG> g_interrupted;

// Console control handler: records the interrupt and reports every control
// event as handled, so that a break key does not end the process.
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);

#endif
