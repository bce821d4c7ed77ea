#include <windows.h>

#include "threadsift/base/Clock.h"

bool ReadClock(ULONGLONG* now) {
  LARGE_INTEGER count, frequency;
  if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
    return false;
  }
  ULONGLONG ticks = (ULONGLONG)count.QuadPart, perSecond = (ULONGLONG)frequency.QuadPart;
  *now = ticks / perSecond * 10000000 + ticks % perSecond * 10000000 / perSecond;
  return true;
}
