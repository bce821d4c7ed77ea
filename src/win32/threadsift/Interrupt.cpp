#include "threadsift/Interrupt.h"

std::atomic<LONG> g_interrupted(0);

namespace {

// Written by both threads with sequentially consistent stores and read
// after them: either the walk sees the console closing before it suspends
// a thread, or the handler sees the thread held and waits for its resume.
std::atomic<LONG> g_holding(0);
std::atomic<LONG> g_closing(0);

// The platform ends the process 5 seconds after a close at the latest; the
// walk of one thread takes far less.
const DWORD kHoldWaitMs = 3000;
const DWORD kHoldPollMs = 10;

bool EndsTheProcess(DWORD controlType) {
  return controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT || controlType == CTRL_SHUTDOWN_EVENT;
}

}  // namespace

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType) {
  g_interrupted = 1;
  if (EndsTheProcess(controlType)) {
    g_closing = 1;
    for (DWORD waited = 0; g_holding != 0 && waited < kHoldWaitMs; waited += kHoldPollMs) Sleep(kHoldPollMs);
  }
  return TRUE;
}

bool BeginHold() {
  g_holding = 1;
  if (g_closing == 0) return true;
  g_holding = 0;
  return false;
}

void EndHold() { g_holding = 0; }
