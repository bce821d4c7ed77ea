// The simulated conversion of text between code pages.
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"

using namespace sim;

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, WCHAR* wide, int capacity) {
  Machine& m = ActiveMachine();
  if (const FailRule* f =
          m.Enter("MultiByteToWideChar", codePage, Args("%u,%u,%d,%d", codePage, flags, length, capacity))) {
    return FailWith(f, 0);
  }
  if (codePage != CP_ACP || text == nullptr || length == 0 || length < -1 || capacity < 0) {
    return FailWithError(ERROR_INVALID_PARAMETER, 0);
  }
  // A length of -1 takes the text to its terminator, which is converted too.
  size_t units = length == -1 ? std::strlen(text) + 1 : (size_t)length;
  if (capacity == 0) return (int)units;
  if ((size_t)capacity < units) return FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
  for (size_t i = 0; i < units; ++i) wide[i] = (WCHAR)(unsigned char)text[i];
  return (int)units;
}

// A character outside the code page becomes '?'.
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int length, LPSTR text, int capacity,
                        LPCSTR defaultChar, PBOOL usedDefault) {
  Machine& m = ActiveMachine();
  if (const FailRule* f =
          m.Enter("WideCharToMultiByte", codePage, Args("%u,%u,%d,%d", codePage, flags, length, capacity))) {
    return FailWith(f, 0);
  }
  if (codePage != CP_ACP || wide == nullptr || length <= 0 || capacity < 0 || defaultChar != nullptr ||
      usedDefault != nullptr) {
    return FailWithError(ERROR_INVALID_PARAMETER, 0);
  }
  if (capacity == 0) return length;
  if (capacity < length) return FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
  for (int i = 0; i < length; ++i) text[i] = wide[i] < 0x100 ? (char)wide[i] : '?';
  return length;
}
