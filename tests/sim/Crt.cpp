// The C run-time calls that the simulation decides: the heap (with failure
// injection and books of live blocks), a fixed clock, and printf with the
// platform's meaning of "%S" (UTF-16 text).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "Machine.h"

using sim::ActiveMachine;
using sim::Machine;

namespace {

void* Remember(void* block, size_t size) {
  if (block != nullptr) ActiveMachine().allocations[block] = size;
  return block;
}

// The 32-bit run-time's "%S" converts in its locale, and stops at the first
// character it cannot convert; the simulated locale has the first 256.
std::string Narrow(const WCHAR* text) {
  std::string narrow;
  for (; *text != 0 && *text < 0x100; ++text) narrow += (char)*text;
  return narrow;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
void AppendFormatted(std::string* out, const std::string& directive, T value) {
  int length = std::snprintf(nullptr, 0, directive.c_str(), value);
  if (length <= 0) return;
  std::string piece((size_t)length + 1, '\0');
  std::snprintf(&piece[0], piece.size(), directive.c_str(), value);
  out->append(piece.c_str(), (size_t)length);
}
#pragma GCC diagnostic pop

bool IsOneOf(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

// Formats one conversion that starts at *p (just after '%') and moves *p past it.
void FormatConversion(std::string* out, const char** p, va_list* ap) {
  const char* start = *p - 1;
  const char* s = *p;
  while (IsOneOf(*s, "-+ #0")) ++s;
  while (IsOneOf(*s, "0123456789.")) ++s;
  std::string length;
  while (IsOneOf(*s, "hlLjzt")) length += *s++;
  char conversion = *s++;
  *p = s;
  std::string directive(start, s);
  switch (conversion) {
    case '%':
      out->push_back('%');
      break;
    case 'd':
    case 'i':
      if (length == "ll")
        AppendFormatted(out, directive, va_arg(*ap, long long));
      else if (length == "l")
        AppendFormatted(out, directive, va_arg(*ap, long));
      else
        AppendFormatted(out, directive, va_arg(*ap, int));
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (length == "ll")
        AppendFormatted(out, directive, va_arg(*ap, unsigned long long));
      else if (length == "l")
        AppendFormatted(out, directive, va_arg(*ap, unsigned long));
      else
        AppendFormatted(out, directive, va_arg(*ap, unsigned int));
      break;
    case 'c':
      AppendFormatted(out, directive, va_arg(*ap, int));
      break;
    case 'p':
      AppendFormatted(out, directive, va_arg(*ap, void*));
      break;
    case 's': {
      const char* text = va_arg(*ap, const char*);
      AppendFormatted(out, directive, text != nullptr ? text : "(null)");
      break;
    }
    case 'S': {
      const WCHAR* text = va_arg(*ap, const WCHAR*);
      directive.back() = 's';
      AppendFormatted(out, directive, text != nullptr ? Narrow(text).c_str() : "(null)");
      break;
    }
    default:
      std::fprintf(stderr, "simulated printf: unsupported conversion in \"%s\"\n", directive.c_str());
      std::abort();
  }
}

}  // namespace

// The simulated heap takes its blocks from operator new, so that a program
// that counts the heap there counts the tool's blocks too.
void* SimMalloc(size_t size) {
  Machine& m = ActiveMachine();
  if (m.Enter("malloc", size, std::to_string(size)) != nullptr) return nullptr;
  return Remember(::operator new(size != 0 ? size : 1, std::nothrow), size);
}

void* SimCalloc(size_t count, size_t size) {
  Machine& m = ActiveMachine();
  if (m.Enter("calloc", count * size, std::to_string(count) + "," + std::to_string(size)) != nullptr) return nullptr;
  size_t bytes = count * size != 0 ? count * size : 1;
  void* block = Remember(::operator new(bytes, std::nothrow), count * size);
  if (block != nullptr) std::memset(block, 0, bytes);
  return block;
}

void SimFree(void* block) {
  if (block == nullptr) return;
  Machine& m = ActiveMachine();
  if (m.allocations.erase(block) == 0) {
    m.NoteMisuse("free of a block the heap did not give");
    return;
  }
  ::operator delete(block);
}

void SimExit(int status) {
  if (sim::g_exitReturns) throw sim::ExitRequest{status};
  std::exit(status);
}

time_t SimTime(time_t* out) {
  time_t now = ActiveMachine().clock();
  if (out != nullptr) *out = now;
  return now;
}

// The C library's form, "Sun Sep 09 01:46:40 2001\n", of the machine's clock
// read as local time (the simulated machine runs on UTC).
char* SimCtime(const time_t* when) {
  static char text[32];
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm parts;
  if (gmtime_r(when, &parts) == nullptr) return nullptr;
  std::snprintf(text, sizeof(text), "%s %s %02d %02d:%02d:%02d %d\n", kDays[parts.tm_wday], kMonths[parts.tm_mon],
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, parts.tm_year + 1900);
  return text;
}

int SimPrintf(const char* format, ...) {
  std::string out;
  va_list ap;
  va_start(ap, format);
  for (const char* p = format; *p != '\0';) {
    if (*p == '%') {
      ++p;
      FormatConversion(&out, &p, &ap);
    } else {
      out.push_back(*p++);
    }
  }
  va_end(ap);
  std::fwrite(out.data(), 1, out.size(), stdout);
  ActiveMachine().NoteOutput(out);
  ActiveMachine().outputUnflushed = true;
  return (int)out.size();
}

int SimFflush(FILE* stream) {
  if (stream == stdout || stream == nullptr) ActiveMachine().outputUnflushed = false;
  return std::fflush(stream);
}
