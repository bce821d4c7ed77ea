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

// Prints the message (if any) and the usage line, then ends the process:
// status 1 after a message, 0 without one.
[[noreturn]] void ExitWithUsage(const char* message, const char* usageLine);

// True for the help options, "-h" and "-?".
bool IsHelpOption(const char* argument);

// Prints the banner and the usage line and ends the process with status 0.
[[noreturn]] void ExitWithHelp(const char* banner, const char* usageLine);

// True for "--help", which lists the options.
bool IsOptionListOption(const char* argument);

// Prints the banner, the usage line and the list of options (a line each),
// and ends the process with status 0.
[[noreturn]] void ExitWithOptionList(const char* banner, const char* usageLine, const char* options);

#endif
