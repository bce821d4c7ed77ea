#ifndef THREADSIFT_WATCH_CONDITIONS_H
#define THREADSIFT_WATCH_CONDITIONS_H

#include <string>

// What -a waits for before the report: a window that stops answering, a
// deadlock that stays, a processor share that stays high.
struct WatchConditions {
  bool hung = false;
  int hungMs = 5000;  // how long no window of a thread has answered
  bool deadlock = false;
  int deadlockMs = 5000;  // between the two walks that must find the cycle
  bool cpu = false;
  int cpuPercent = 0;  // of one processor, exceeded in each second
  int cpuSeconds = 5;  // seconds in a row
  // The conditions as the option named them, in its order: "hung, cpu:80".
  std::string names;
};

// Reads the comma-separated conditions of -a: hung[:<ms>] (1000 to
// 600000), deadlock[:<ms>] (1000 to 600000) and cpu:<percent>[:<seconds>]
// (1 to 6400, 1 to 3600), each at most once, in decimal digits. False for
// an empty list, an unknown or repeated condition, or a value out of range.
bool ReadWatchConditions(const char* text, WatchConditions* conditions);

#endif
