#ifndef THREADSIFT_WINDOW_PROBE_H
#define THREADSIFT_WINDOW_PROBE_H

#include <windows.h>

#include <map>
#include <set>
#include <utility>

#include "threadsift/watch/WatchClock.h"

// Whether the windows of a process answer: each round lists its top-level
// windows and sends one of each thread's a message that does nothing,
// with the platform's message-timeout send, which gives up at once on a
// window the platform calls hung and after a short timeout otherwise: the
// tool is never held by the process it watches.

typedef BOOL(WINAPI* EnumWindowsFn)(WNDENUMPROC, LPARAM);
typedef DWORD(WINAPI* WindowThreadFn)(HWND, LPDWORD);
typedef LRESULT(WINAPI* SendMessageTimeoutFn)(HWND, UINT, WPARAM, LPARAM, UINT, UINT, DWORD_PTR*);

struct WindowProbe {
  std::set<DWORD> pids;  // the processes whose windows are probed
  EnumWindowsFn enumWindows = NULL;
  WindowThreadFn threadOf = NULL;
  SendMessageTimeoutFn send = NULL;
  // The threads (process and thread id) that have a top-level window now,
  // and when each last answered (or, before its first answer, was first
  // seen), in the watch's milliseconds.
  std::map<std::pair<DWORD, DWORD>, ULONGLONG> lastAnswer;
};

// Finds the user library's calls for the windows. False when the library
// or one of them is missing.
bool StartWindowProbe(WindowProbe* probe);

// One round: lists the processes' windows and probes one window of each
// of their threads. A thread that no longer has a window is forgotten; a
// window destroyed while probed starts no silence.
void ProbeWindows(WindowProbe* probe, WatchClock& clock);

// Of process pid's threads that have windows: the longest any has now not
// answered, and that thread; the shortest; none when it has no window.
struct WindowSilence {
  bool windows = false;
  ULONGLONG longest = 0;
  DWORD tid = 0;
  ULONGLONG shortest = 0;
};
WindowSilence MeasureSilence(const WindowProbe& probe, DWORD pid, ULONGLONG now);

#endif
