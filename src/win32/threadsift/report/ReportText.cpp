#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "threadsift/report/ReportText.h"

void ReportText::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(NULL, 0, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  std::vector<char> text((size_t)length + 1);
  vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  if (kept_ != nullptr) {
    kept_->append(text.data(), (size_t)length);
  } else {
    printf("%s", text.data());
  }
}
