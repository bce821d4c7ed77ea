#include <windows.h>

#include "threadsift/base/Clock.h"
#include "threadsift/watch/WatchClock.h"

bool WatchClock::Start() {
  elapsed_ = 0;
  return ReadClock(&lastReading_);
}

ULONGLONG WatchClock::Now() {
  ULONGLONG reading = 0;
  if (ReadClock(&reading)) {
    if (reading > lastReading_) elapsed_ += reading - lastReading_;
    lastReading_ = reading;
  }
  return elapsed_ / kClockTicksPerMillisecond;
}
