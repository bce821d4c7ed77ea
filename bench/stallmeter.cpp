// A Windows program for the benchmarks: threads that each keep the longest
// gap between two turns of their loop, so that whatever stops a thread (a
// suspension, a debugger) shows as that thread's longest stall.
//
//   stallmeter [--threads N] [--depth D]
//
// Each thread first calls down D nested frames (so that a walk has D frames
// to show), then loops: takes the time, keeps the largest gap since its last
// turn, sleeps a millisecond. The main thread is the first meter, so that the
// thread a walk takes first is metered too; a thread started after the
// meters reads standard input, which takes commands, one a line:
//   reset      forget the gaps so far
//   report     print "stall <tid> <milliseconds>" a thread, then "end"
// It prints "pid <pid>" and "ready" when every thread loops, and ends when
// its standard input closes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Meter {
  DWORD tid = 0;
  volatile LONG64 longest = 0;  // in performance-counter ticks
  volatile LONG resetRequested = 0;
};

std::vector<Meter> g_meters;
volatile LONG g_looping = 0;
volatile LONG g_stop = 0;  // never set: the threads loop until the process ends
int g_depth = 8;

__attribute__((noinline)) void Loop(Meter* meter) {
  LARGE_INTEGER last, now;
  QueryPerformanceCounter(&last);
  InterlockedIncrement(&g_looping);
  while (g_stop == 0) {
    Sleep(1);
    QueryPerformanceCounter(&now);
    LONG64 gap = now.QuadPart - last.QuadPart;
    last = now;
    if (InterlockedExchange(&meter->resetRequested, 0) != 0) meter->longest = 0;
    if (gap > meter->longest) meter->longest = gap;
  }
}

__attribute__((noinline)) int Descend(Meter* meter, int depth) {
  if (depth <= 0) {
    Loop(meter);
    return 0;
  }
  return Descend(meter, depth - 1) + 1;
}

DWORD WINAPI Run(LPVOID context) {
  Meter* meter = (Meter*)context;
  meter->tid = GetCurrentThreadId();
  return (DWORD)Descend(meter, g_depth);
}

void Report() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (const Meter& m : g_meters) {
    printf("stall %lu %.3f\n", (unsigned long)m.tid, m.longest * 1000.0 / (double)frequency.QuadPart);
  }
  printf("end\n");
  fflush(stdout);
}

// Answers the commands of standard input; ends the process when it closes.
DWORD WINAPI ReadCommands(LPVOID) {
  char line[64];
  while (fgets(line, sizeof(line), stdin) != NULL) {
    if (strncmp(line, "reset", 5) == 0) {
      for (Meter& m : g_meters) InterlockedExchange(&m.resetRequested, 1);
      Sleep(20);
      printf("reset\n");
      fflush(stdout);
    } else if (strncmp(line, "report", 6) == 0) {
      Report();
    }
  }
  ExitProcess(0);
}

// Prints the ready lines once every meter loops, then reads commands.
DWORD WINAPI WaitForMetersThenRead(LPVOID) {
  while (g_looping < (LONG)g_meters.size()) Sleep(10);
  printf("pid %lu\nready\n", (unsigned long)GetCurrentProcessId());
  fflush(stdout);
  return ReadCommands(NULL);
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 8;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--threads") == 0) threads = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--depth") == 0) g_depth = atoi(argv[i + 1]);
  }
  if (threads < 1) threads = 1;
  g_meters.resize((size_t)threads);
  g_meters[0].tid = GetCurrentThreadId();
  for (size_t i = 1; i < g_meters.size(); ++i) {
    HANDLE thread = CreateThread(NULL, 256 * 1024, Run, &g_meters[i], 0, NULL);
    if (thread == NULL) return 2;
    CloseHandle(thread);
  }
  HANDLE reader = CreateThread(NULL, 0, WaitForMetersThenRead, NULL, 0, NULL);
  if (reader == NULL) return 2;
  CloseHandle(reader);
  return (int)Descend(&g_meters[0], g_depth);
}
