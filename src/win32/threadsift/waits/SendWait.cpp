#include <windows.h>

#include "threadsift/base/UserLibrary.h"
#include "threadsift/waits/SendWait.h"

namespace {

typedef BOOL(WINAPI* IsWindowFn)(HWND);
typedef DWORD(WINAPI* GetWindowThreadProcessIdFn)(HWND, LPDWORD);
typedef int(WINAPI* GetClassNameWFn)(HWND, LPWSTR, int);

// The user library's calls that tell of a window.
struct WindowCalls {
  IsWindowFn isWindow;
  GetWindowThreadProcessIdFn threadOf;
  GetClassNameWFn classOf;
};

bool FindWindowCalls(WindowCalls* calls) {
  HMODULE user = UserLibrary();
  if (user == NULL) return false;
  calls->isWindow = reinterpret_cast<IsWindowFn>(reinterpret_cast<void*>(GetProcAddress(user, "IsWindow")));
  calls->threadOf = reinterpret_cast<GetWindowThreadProcessIdFn>(
      reinterpret_cast<void*>(GetProcAddress(user, "GetWindowThreadProcessId")));
  calls->classOf = reinterpret_cast<GetClassNameWFn>(reinterpret_cast<void*>(GetProcAddress(user, "GetClassNameW")));
  return calls->isWindow != NULL && calls->threadOf != NULL && calls->classOf != NULL;
}

// A window handle has 32 significant bits, sign-extended where handles are
// wider: any other value is none.
bool WindowOfValue(Address value, HWND* window) {
  LONG low = (LONG)(DWORD)value;
  bool fits = value == (Address)(DWORD)low || value == (Address)(LONG_PTR)low;
  if (low == 0 || !fits) return false;
  *window = (HWND)(LONG_PTR)low;
  return true;
}

// The window a value names, when the user library knows it as one.
bool FindKnownWindow(Address value, WindowCalls* calls, HWND* window) {
  return WindowOfValue(value, window) && FindWindowCalls(calls) && calls->isWindow(*window);
}

// The value the routine of frame at keeps the window in, in this width.
bool ReadWindowValue(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context,
                     const std::vector<FoundFrame>& found, size_t at, ObjectPlace place, Address* value) {
  switch (place) {
    case FirstArgument:
      // A routine whose frame the walk missed may have reused its argument
      // words (32-bit Wine's user library does); the system-call stub it
      // called has the window as its own first argument, untouched.
      return RoutineArguments(process.width, stack, found, found[at].putBack && at > 0 ? at - 1 : at, 1, value);
    case KeptInRdi:
      return KeptRegisterOf(context, KeptRdi, value);
    case KeptInRsi:
      return KeptRegisterOf(context, KeptRsi, value);
    default:
      break;
  }
  return false;
}

const int kMaxClassName = 256;

}  // namespace

bool FindSentMessage(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                     const std::vector<FoundFrame>& found, const WaitFrames& frames, SentMessage* sent) {
  const WaitRoutine* called = frames.routines[frames.called];
  Address value = 0;
  HWND window = NULL;
  WindowCalls calls;
  if (!ReadWindowValue(process, stack, context, found, frames.called, PlaceOf(process, *called), &value) ||
      !FindKnownWindow(value, &calls, &window)) {
    return false;
  }
  DWORD receiverProcess = 0;
  DWORD receiver = calls.threadOf(window, &receiverProcess);
  // A thread's own window answers at once: such a send waits for nobody.
  if (receiver == 0 || receiver == tid) return false;
  WCHAR name[kMaxClassName + 1];
  int length = calls.classOf(window, name, kMaxClassName + 1);
  sent->window = (Address)(DWORD)(ULONG_PTR)window;
  sent->windowClass.assign(name, length > 0 && length <= kMaxClassName ? (size_t)length : 0);
  sent->receiver = receiver;
  sent->receiverProcess = receiverProcess;
  return true;
}

bool WindowAnsweredBy(Address window, DWORD receiver) {
  WindowCalls calls;
  HWND handle = NULL;
  DWORD process = 0;
  return FindKnownWindow(window, &calls, &handle) && calls.threadOf(handle, &process) == receiver;
}
