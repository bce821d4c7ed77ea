#include <string>

#include "threadsift/pictures/XmlText.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed sequence at text[at] whose character XML
// allows, or 0.
size_t SequenceLength(const std::string& text, size_t at) {
  unsigned char lead = (unsigned char)text[at];
  size_t length = lead < 0x80             ? 1
                  : (lead & 0xE0) == 0xC0 ? 2
                  : (lead & 0xF0) == 0xE0 ? 3
                  : (lead & 0xF8) == 0xF0 ? 4
                                          : 0;
  if (length == 0 || at + length > text.size()) return 0;
  unsigned long point = length == 1   ? lead
                        : length == 2 ? (lead & 0x1Fu)
                        : length == 3 ? (lead & 0x0Fu)
                                      : (lead & 0x07u);
  for (size_t i = 1; i < length; ++i) {
    unsigned char next = (unsigned char)text[at + i];
    if (!IsContinuation(next)) return 0;
    point = (point << 6) | (next & 0x3Fu);
  }
  // The shortest form only, and no character beyond Unicode's.
  static const unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kLeast[length] || point > 0x10FFFF) return 0;
  if ((point >= 0xD800 && point <= 0xDFFF) || point == 0xFFFE || point == 0xFFFF) return 0;
  return length;
}

}  // namespace

std::string XmlText(const std::string& text) {
  std::string made;
  made.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t length = SequenceLength(text, at);
    if (length == 0) {
      made += kReplacement;
      ++at;
    } else if (length == 1 && ((unsigned char)text[at] < 0x20 || text[at] == 0x7F)) {
      made += '?';
      ++at;
    } else {
      made.append(text, at, length);
      at += length;
    }
  }
  return made;
}

size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (char c : text) count += IsContinuation((unsigned char)c) ? 0 : 1;
  return count;
}

std::string FirstCharacters(const std::string& text, size_t count) {
  size_t at = 0;
  for (size_t seen = 0; at < text.size(); ++at) {
    if (!IsContinuation((unsigned char)text[at]) && seen++ == count) break;
  }
  return text.substr(0, at);
}
