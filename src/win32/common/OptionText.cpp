#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/OptionText.h"

namespace {

const long long kLargestMagnitude = 2147483648LL;  // of a negative 32-bit number

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Picks the base from the prefix and moves past it. A "0x" that no hexadecimal
// digit follows is the number 0 followed by ignored text.
int TakeBase(const char** p) {
  const char* s = *p;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && DigitValue(s[2]) < 16) {
    *p = s + 2;
    return 16;
  }
  if (s[0] == '0') return 8;
  return 10;
}

}  // namespace

bool ReadOptionNumber(const char* text, int* value) {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  int base = TakeBase(&p);
  if (DigitValue(*p) >= base) return false;

  long long magnitude = 0;
  for (; DigitValue(*p) < base; ++p) {
    magnitude = magnitude * base + DigitValue(*p);
    if (magnitude > kLargestMagnitude) return false;
  }
  if (!negative && magnitude == kLargestMagnitude) return false;
  *value = (int)(negative ? -magnitude : magnitude);
  return true;
}

std::string ComposeUnrecognisedOption(const char* argument) {
  // Built as a string rather than in a fixed buffer: an argument of any
  // length is repeated whole and nothing is written past an end.
  std::string message = "Option ";
  message += argument;
  message += " not recognized.";
  return message;
}

void ExitWithUsage(const char* message, const char* usageLine) {
  if (message != NULL) printf("%s\n\n", message);
  printf("%s", usageLine);
  exit(message != NULL ? 1 : 0);
}

bool IsHelpOption(const char* argument) { return strcmp(argument, "-h") == 0 || strcmp(argument, "-?") == 0; }

void ExitWithHelp(const char* banner, const char* usageLine) {
  printf("%s\n\n", banner);
  ExitWithUsage(NULL, usageLine);
}

bool IsOptionListOption(const char* argument) { return strcmp(argument, "--help") == 0; }

void ExitWithOptionList(const char* banner, const char* usageLine, const char* options) {
  printf("%s\n\n%s\n%s", banner, usageLine, options);
  exit(0);
}
