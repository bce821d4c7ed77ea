#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "threadsift/report/ReportText.h"

void ReportText::Print(const char* format, ...) {
  // A line fits the buffer and takes one formatting; a longer text (a long
  // path or symbol) is formatted again at its length.
  char room[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(room, sizeof(room), format, args);
  va_end(args);
  std::vector<char> longer;
  const char* text = room;
  if (length >= (int)sizeof(room)) {
    longer.resize((size_t)length + 1);
    vsnprintf(longer.data(), longer.size(), format, again);
    text = longer.data();
  }
  va_end(again);
  if (length < 0) return;
  if (kept_ != nullptr) {
    kept_->append(text, (size_t)length);
  } else {
    printf("%s", text);
  }
}
