#include <windows.h>

#include <map>
#include <vector>

#include "threadsift/watch/WindowProbe.h"

namespace {

// Longer than a window that pumps messages takes to answer one, short
// enough that a round over a few busy threads stays well under a second.
const UINT kProbeTimeoutMs = 200;
const DWORD kInvalidWindowHandle = 1400;

// What the listing of windows gathers: one window of each of the
// process's threads that has one.
struct WindowListing {
  const WindowProbe* probe;
  std::map<DWORD, HWND> byThread;
};

BOOL CALLBACK NoteWindow(HWND window, LPARAM value) {
  WindowListing* listing = reinterpret_cast<WindowListing*>(value);
  DWORD pid = 0;
  DWORD tid = listing->probe->threadOf(window, &pid);
  if (tid != 0 && pid == listing->probe->pid && listing->byThread.count(tid) == 0) listing->byThread[tid] = window;
  return TRUE;
}

}  // namespace

bool StartWindowProbe(DWORD pid, WindowProbe* probe) {
  probe->pid = pid;
  // The user library is not imported: a tool that watches no window never
  // loads it.
  HMODULE user = GetModuleHandleA("user32.dll");
  if (user == NULL) user = LoadLibraryA("user32.dll");
  if (user == NULL) return false;
  probe->enumWindows = reinterpret_cast<EnumWindowsFn>(reinterpret_cast<void*>(GetProcAddress(user, "EnumWindows")));
  probe->threadOf =
      reinterpret_cast<WindowThreadFn>(reinterpret_cast<void*>(GetProcAddress(user, "GetWindowThreadProcessId")));
  probe->send = reinterpret_cast<SendMessageTimeoutFn>(
      reinterpret_cast<void*>(GetProcAddress(user, "SendMessageTimeoutW")));
  return probe->enumWindows != NULL && probe->threadOf != NULL && probe->send != NULL;
}

void ProbeWindows(WindowProbe* probe, WatchClock& clock) {
  WindowListing listing = {probe, {}};
  if (!probe->enumWindows(NoteWindow, reinterpret_cast<LPARAM>(&listing))) return;
  std::map<DWORD, ULONGLONG> kept;
  for (const auto& shown : listing.byThread) {
    auto known = probe->lastAnswer.find(shown.first);
    ULONGLONG last = known != probe->lastAnswer.end() ? known->second : clock.Now();
    DWORD_PTR result = 0;
    if (probe->send(shown.second, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kProbeTimeoutMs, &result) != 0) {
      last = clock.Now();
    } else if (GetLastError() == kInvalidWindowHandle && known == probe->lastAnswer.end()) {
      // Destroyed since it was listed: the thread is asked again next round.
      continue;
    }
    kept[shown.first] = last;
  }
  probe->lastAnswer.swap(kept);
}

WindowSilence MeasureSilence(const WindowProbe& probe, ULONGLONG now) {
  WindowSilence silence;
  bool first = true;
  for (const auto& thread : probe.lastAnswer) {
    ULONGLONG quiet = now > thread.second ? now - thread.second : 0;
    if (first || quiet > silence.longest) {
      silence.longest = quiet;
      silence.tid = thread.first;
    }
    if (first || quiet < silence.shortest) silence.shortest = quiet;
    first = false;
  }
  return silence;
}
