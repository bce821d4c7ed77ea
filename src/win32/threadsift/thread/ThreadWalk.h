#ifndef THREADSIFT_THREAD_WALK_H
#define THREADSIFT_THREAD_WALK_H

#include <windows.h>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/thread/ThreadName.h"
#include "threadsift/waits/WaitChain.h"

class ReportSink;

// A thread of the process as OpenThreadQuietly left it: its handle, or
// null with the call that failed and its error.
struct ThreadOpening {
  DWORD pid;
  DWORD tid;
  HANDLE handle;
  const char* failedCall;
  DWORD error;
};

// Holds and walks one opened thread of the process, saying a line per
// frame: the thread is held only while its registers are read and its
// stack is copied. A thread that could not be opened gets the lines of that
// failure. With waits (-w), a thread waiting to enter a critical section
// gets a line after its frames, and its wait is noted in waits. Described
// (-g, -j), its name (read through nameQuery) and whether it is idle are
// noted. False after saying its own line.
bool WalkThread(ExaminedProcess& process, ReportSink& report, const ThreadOpening& opened, WaitChain* waits,
                bool described = false, ThreadNameQuery nameQuery = NULL);

#endif
