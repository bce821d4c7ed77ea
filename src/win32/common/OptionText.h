#ifndef THREADSIFT_COMMON_OPTION_TEXT_H
#define THREADSIFT_COMMON_OPTION_TEXT_H

#include <string>

// Reads a numeric option value the way the C conversion "%i" does: leading
// white space, an optional sign, then 0x/0X for hexadecimal, a leading 0 for
// octal, decimal otherwise; characters after the number are ignored.
// True, with the number stored, when it is there and fits a signed 32-bit
// integer.
bool ReadOptionNumber(const char* text, int* value);

// "Option <argument> not recognized." with the argument whole, however long.
std::string ComposeUnrecognisedOption(const char* argument);

#endif
