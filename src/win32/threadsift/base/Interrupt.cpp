#include "threadsift/base/Interrupt.h"

std::atomic<LONG> g_interrupted(0);

namespace {

// The walk's holding bit and the handler's closing bit share one word and
// each change is one atomic step: either the walk finds the console closing
// before it suspends a thread, or the handler finds the thread held and
// waits for its resume.
const LONG kHolding = 1;
const LONG kClosing = 2;
std::atomic<LONG> g_holdState(0);

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
    g_holdState.fetch_or(kClosing);
    for (DWORD waited = 0; (g_holdState & kHolding) != 0 && waited < kHoldWaitMs; waited += kHoldPollMs) {
      Sleep(kHoldPollMs);
    }
  }
  return TRUE;
}

bool BeginHold() {
  LONG idle = 0;
  return g_holdState.compare_exchange_strong(idle, kHolding);
}

void EndHold() { g_holdState.fetch_and(~kHolding); }

void ClearControlEvents() {
  g_interrupted = 0;
  g_holdState = 0;
}
