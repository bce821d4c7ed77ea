#ifndef THREADSIFT_INTERRUPT_H
#define THREADSIFT_INTERRUPT_H

#include <windows.h>

#include <atomic>

// Raised to 1 by ConsoleCtrlHandler and lowered only when a run starts. The
// handler runs on a thread of the platform's; the main thread reads the flag
// with single loads.
extern std::atomic<LONG> g_interrupted;

// Lowers the interrupt flag and the closing bit: each run starts with no
// control event seen (the fuzz targets run main many times in one process).
void ClearControlEvents();

// Console control handler: records the interrupt and reports every control
// event as handled, so that a break key does not end the process. Closing
// the console, logging off and shutting down end the process once the
// handler returns: for those it first waits, a bounded time, until the
// thread in hand runs again.
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);

// Mark the span in which the walk holds a thread suspended. BeginHold
// returns false, and marks nothing, once the console is closing: no thread
// may be suspended then.
bool BeginHold();
void EndHold();

#endif
