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

// Lists the top-level windows shown now, of every process.
BOOL SimEnumWindows(WNDENUMPROC callback, LPARAM value) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("EnumWindows", 0, "")) return FailWith(f, FALSE);
  std::vector<uint64_t> shown;
  for (Process& p : m.processes) {
    for (const auto& w : p.windows) {
      bool alive = w.second.checksLeft != 0 && m.performanceCounter < w.second.destroyedAt;
      if (alive && m.performanceCounter >= w.second.shownFrom) shown.push_back(w.first);
    }
  }
  for (uint64_t handle : shown) {
    if (!callback((HWND)(uintptr_t)handle, value)) break;
  }
  return TRUE;
}

// The message-timeout send: a window whose thread pumps answers in its
// answer time, or fails with ERROR_TIMEOUT once the timeout has passed; one
// whose thread has stopped pumping fails after the timeout, or at once with
// SMTO_ABORTIFHUNG when the platform calls it hung (5 s without pumping).
LRESULT SimSendMessageTimeoutW(HWND window, UINT message, WPARAM, LPARAM, UINT flags, UINT timeout, DWORD_PTR* result) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("SendMessageTimeoutW", (uintptr_t)window,
                                  Args("%p,%u,0x%x,%u", (void*)window, message, flags, timeout))) {
    return FailWith(f, (LRESULT)0);
  }
  if (message != WM_NULL) m.NoteMisuse(Args("a probe sent message %u, which does something", message));
  Window* found = AskAbout(window);
  uint64_t now = m.performanceCounter;
  if (found == nullptr || now >= found->destroyedAt) return FailWithError(1400, (LRESULT)0);
  if (found->lastProbedAt != UINT64_MAX && now - found->lastProbedAt < 250000) {
    m.NoteMisuse(Args("window %p probed again after %u us", (void*)window, (unsigned)(now - found->lastProbedAt)));
  }
  found->lastProbedAt = now;
  const uint64_t limit = (uint64_t)timeout * 1000;
  if (now < found->stopsPumpingAt && found->answerTakes <= limit) {
    m.performanceCounter += found->answerTakes;
    if (result != nullptr) *result = 0;
    return 1;
  }
  bool hung = now >= found->stopsPumpingAt && now - found->stopsPumpingAt >= 5000000;
  if (!(hung && (flags & SMTO_ABORTIFHUNG) != 0)) m.performanceCounter += limit;
  return FailWithError(1460, (LRESULT)0);  // ERROR_TIMEOUT
}

}  // namespace sim
