#include <windows.h>

#include <string>
#include <vector>

#include "threadsift/base/Utf8Text.h"

namespace {

const unsigned kReplacement = 0xFFFD;

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendCodePoint(unsigned point, std::string* out) {
  if (point < 0x80) {
    *out += (char)point;
  } else if (point < 0x800) {
    *out += (char)(0xC0 | (point >> 6));
    *out += (char)(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    *out += (char)(0xE0 | (point >> 12));
    *out += (char)(0x80 | ((point >> 6) & 0x3F));
    *out += (char)(0x80 | (point & 0x3F));
  } else {
    *out += (char)(0xF0 | (point >> 18));
    *out += (char)(0x80 | ((point >> 12) & 0x3F));
    *out += (char)(0x80 | ((point >> 6) & 0x3F));
    *out += (char)(0x80 | (point & 0x3F));
  }
}

}  // namespace

std::string Utf8FromAnsi(const char* text) {
  // The length includes the terminator, so that an empty text converts too.
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
  if (units <= 0) return text;
  std::vector<WCHAR> wide((size_t)units);
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units) != units) return text;
  return Utf8FromWide(wide.data(), (size_t)units - 1);
}

std::string AnsiFromWide(const WCHAR* text, size_t length) {
  if (length == 0 || length > 0x7FFFFFFF) return std::string();
  // Names and paths fit the buffer, and take one call; longer text is
  // measured first.
  char room[0x1000];
  int made = WideCharToMultiByte(CP_ACP, 0, text, (int)length, room, (int)sizeof(room), NULL, NULL);
  if (made > 0) return std::string(room, (size_t)made);
  int bytes = WideCharToMultiByte(CP_ACP, 0, text, (int)length, NULL, 0, NULL, NULL);
  if (bytes <= (int)sizeof(room)) return std::string();
  std::string narrow((size_t)bytes, '\0');
  made = WideCharToMultiByte(CP_ACP, 0, text, (int)length, &narrow[0], bytes, NULL, NULL);
  narrow.resize(made > 0 ? (size_t)made : 0);
  return narrow;
}

std::string LineTextFromWide(const WCHAR* text, size_t length) {
  std::string shown = AnsiFromWide(text, length);
  for (char& c : shown) {
    if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

std::string Utf8FromWide(const WCHAR* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    unsigned unit = (unsigned)text[i];
    if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate((unsigned)text[i + 1])) {
      AppendCodePoint(0x10000 + ((unit - 0xD800) << 10) + ((unsigned)text[i + 1] - 0xDC00), &out);
      ++i;
    } else {
      AppendCodePoint(IsHighSurrogate(unit) || IsLowSurrogate(unit) ? kReplacement : unit, &out);
    }
  }
  return out;
}
