#include "sym/Interrupt.h"

std::atomic<LONG> g_interrupted(0);

BOOL WINAPI ConsoleCtrlHandler(DWORD /*controlType*/) {
  g_interrupted = 1;
  return TRUE;
}
