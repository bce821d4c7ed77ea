#ifndef THREADSIFT_COMMON_ENABLE_PRIVILEGE_H
#define THREADSIFT_COMMON_ENABLE_PRIVILEGE_H

#include <functional>
#include <string>

// Says that a step failed with a code, and the name it was given (or null).
typedef std::function<void(const char* step, int code, const char* name)> FailureLine;

// "STEP error CODE", or "STEP NAME error CODE" with a name, and its line end.
std::string FailureLineText(const char* step, int code, const char* name);

// Prints that line.
void PrintFailureLine(const char* step, int code, const char* name);

// Enables one named privilege in the token of the calling process.
// False after saying the failed step through report (printing its line, by
// default), with the last-error code left for the caller's own line.
bool EnablePrivilege(const char* name, const FailureLine& report = PrintFailureLine);

#endif
