#include <windows.h>

#include <map>
#include <vector>

#include "threadsift/base/UserLibrary.h"
#include "threadsift/watch/WindowProbe.h"

namespace {

// Longer than a window that pumps messages takes to answer one, short
// enough that a round over a few busy threads stays well under a second.
const UINT kProbeTimeoutMs = 200;
const DWORD kInvalidWindowHandle = 1400;

typedef std::pair<DWORD, DWORD> ThreadKey;  // process and thread id

// What the listing of windows gathers: one window of each of the
// processes' threads that has one.
struct WindowListing {
  const WindowProbe* probe;
  std::map<ThreadKey, HWND> byThread;
};

BOOL CALLBACK NoteWindow(HWND window, LPARAM value) {
  WindowListing* listing = reinterpret_cast<WindowListing*>(value);
  DWORD pid = 0;
  DWORD tid = listing->probe->threadOf(window, &pid);
  ThreadKey key(pid, tid);
  if (tid != 0 && listing->probe->pids.count(pid) != 0 && listing->byThread.count(key) == 0) {
    listing->byThread[key] = window;
  }
  return TRUE;
}

}  // namespace

bool StartWindowProbe(WindowProbe* probe) {
  HMODULE user = UserLibrary();
  if (user == NULL) return false;
  probe->enumWindows = reinterpret_cast<EnumWindowsFn>(reinterpret_cast<void*>(GetProcAddress(user, "EnumWindows")));
  probe->threadOf =
      reinterpret_cast<WindowThreadFn>(reinterpret_cast<void*>(GetProcAddress(user, "GetWindowThreadProcessId")));
  probe->send =
      reinterpret_cast<SendMessageTimeoutFn>(reinterpret_cast<void*>(GetProcAddress(user, "SendMessageTimeoutW")));
  return probe->enumWindows != NULL && probe->threadOf != NULL && probe->send != NULL;
}

void ProbeWindows(WindowProbe* probe, WatchClock& clock) {
  WindowListing listing = {probe, {}};
  if (!probe->enumWindows(NoteWindow, reinterpret_cast<LPARAM>(&listing))) return;
  std::map<ThreadKey, ULONGLONG> kept;
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

WindowSilence MeasureSilence(const WindowProbe& probe, DWORD pid, ULONGLONG now) {
  WindowSilence silence;
  for (auto it = probe.lastAnswer.lower_bound(ThreadKey(pid, 0));
       it != probe.lastAnswer.end() && it->first.first == pid; ++it) {
    ULONGLONG quiet = now > it->second ? now - it->second : 0;
    if (!silence.windows || quiet > silence.longest) {
      silence.longest = quiet;
      silence.tid = it->first.second;
    }
    if (!silence.windows || quiet < silence.shortest) silence.shortest = quiet;
    silence.windows = true;
  }
  return silence;
}
