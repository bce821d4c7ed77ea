#include <cstring>
#include <string>
#include <vector>

#include "threadsift/watch/WatchConditions.h"

namespace {

const int kMinWaitMs = 1000;
const int kMaxWaitMs = 600000;
const int kMaxCpuPercent = 6400;
const int kMaxCpuSeconds = 3600;

// The pieces of text between separator, empty ones included.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t from = 0;
  for (;;) {
    size_t at = text.find(separator, from);
    pieces.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return pieces;
    from = at + 1;
  }
}

// A value in [low, high] written in decimal digits alone.
bool ReadDecimal(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 7) return false;
  int number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

// One condition, already split at its colons.
bool ReadCondition(const std::vector<std::string>& parts, WatchConditions* conditions) {
  const std::string& kind = parts[0];
  if (kind == "hung" && !conditions->hung && parts.size() <= 2) {
    conditions->hung = true;
    return parts.size() == 1 || ReadDecimal(parts[1], kMinWaitMs, kMaxWaitMs, &conditions->hungMs);
  }
  if (kind == "deadlock" && !conditions->deadlock && parts.size() <= 2) {
    conditions->deadlock = true;
    return parts.size() == 1 || ReadDecimal(parts[1], kMinWaitMs, kMaxWaitMs, &conditions->deadlockMs);
  }
  if (kind == "cpu" && !conditions->cpu && parts.size() >= 2 && parts.size() <= 3) {
    conditions->cpu = true;
    return ReadDecimal(parts[1], 1, kMaxCpuPercent, &conditions->cpuPercent) &&
           (parts.size() == 2 || ReadDecimal(parts[2], 1, kMaxCpuSeconds, &conditions->cpuSeconds));
  }
  return false;
}

}  // namespace

bool ReadWatchConditions(const char* text, WatchConditions* conditions) {
  WatchConditions read;
  for (const std::string& item : Split(text, ',')) {
    if (!ReadCondition(Split(item, ':'), &read)) return false;
    if (!read.names.empty()) read.names += ", ";
    read.names += item;
  }
  *conditions = read;
  return true;
}
