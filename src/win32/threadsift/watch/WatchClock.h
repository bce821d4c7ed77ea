#ifndef THREADSIFT_WATCH_CLOCK_H
#define THREADSIFT_WATCH_CLOCK_H

#include <windows.h>

// The watch's time in milliseconds since it began. It moves on with the
// platform's clock and never back: a reading earlier than the last one
// (a clock set back) adds nothing, so that no span looks longer than it was.
class WatchClock {
 public:
  // False when the platform has no clock.
  bool Start();
  ULONGLONG Now();

 private:
  ULONGLONG lastReading_ = 0;
  ULONGLONG elapsed_ = 0;
};

#endif
