// The simulated user library's answers about windows, found only through
// GetProcAddress once the tool has loaded the library.
#include <algorithm>
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"

namespace sim {

namespace {

// The window a handle names, asked about once more; null when there is
// none, or it has been destroyed and its handle not given again.
Window* AskAbout(HWND handle) {
  for (Process& p : ActiveMachine().processes) {
    auto it = p.windows.find((uint64_t)(uintptr_t)handle);
    if (it == p.windows.end()) continue;
    if (it->second.checksLeft == 0 && it->second.heir != 0) {
      it->second.tid = it->second.heir;
      it->second.checksLeft = -1;
    }
    if (it->second.checksLeft == 0) return nullptr;
    if (it->second.checksLeft > 0) --it->second.checksLeft;
    return &it->second;
  }
  return nullptr;
}

}  // namespace

BOOL SimIsWindow(HWND window) {
  if (const FailRule* f = ActiveMachine().Enter("IsWindow", 0, Args("%p", (void*)window))) return FailWith(f, FALSE);
  return AskAbout(window) != nullptr;
}

DWORD SimGetWindowThreadProcessId(HWND window, LPDWORD pid) {
  if (const FailRule* f = ActiveMachine().Enter("GetWindowThreadProcessId", 0, Args("%p", (void*)window))) {
    return FailWith(f, (DWORD)0);
  }
  Window* found = AskAbout(window);
  if (found == nullptr) return FailWithError(1400, (DWORD)0);  // ERROR_INVALID_WINDOW_HANDLE
  if (pid != nullptr) *pid = found->pid;
  return found->tid;
}

int SimGetClassNameW(HWND window, LPWSTR name, int size) {
  if (const FailRule* f = ActiveMachine().Enter("GetClassNameW", 0, Args("%p,%d", (void*)window, size))) {
    return FailWith(f, 0);
  }
  Window* found = AskAbout(window);
  if (found == nullptr || size <= 0) return FailWithError(1400, 0);
  size_t length = std::min(found->className.size(), (size_t)size - 1);
  std::memcpy(name, found->className.data(), length * sizeof(WCHAR));
  name[length] = 0;
  return (int)length;
}

}  // namespace sim
