#include <windows.h>

#include <cstdio>

#include "common/EnablePrivilege.h"

namespace {

// Closes the token while keeping the last-error code the caller is about to print.
void CloseTokenKeepingLastError(HANDLE token) {
  DWORD lastError = GetLastError();
  CloseHandle(token);
  SetLastError(lastError);
}

}  // namespace

std::string FailureLineText(const char* step, int code, const char* name) {
  std::string line = step;
  if (name != NULL) line += std::string(" ") + name;
  return line + " error " + std::to_string(code) + "\n";
}

void PrintFailureLine(const char* step, int code, const char* name) {
  printf("%s", FailureLineText(step, code, name).c_str());
}

bool EnablePrivilege(const char* name, const FailureLine& report) {
  HANDLE token = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    report("OpenProcessToken", (int)GetLastError(), NULL);
    return false;
  }

  TOKEN_PRIVILEGES privileges;
  if (!LookupPrivilegeValueA(NULL, name, &privileges.Privileges[0].Luid)) {
    report("LookupPrivilegeValue", (int)GetLastError(), name);
    CloseTokenKeepingLastError(token);
    return false;
  }
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

  // An account without the privilege still gets success here (with
  // ERROR_NOT_ALL_ASSIGNED); the tool then goes on without it.
  if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL)) {
    report("AdjustTokenPrivileges", (int)GetLastError(), NULL);
    CloseTokenKeepingLastError(token);
    return false;
  }
  CloseTokenKeepingLastError(token);
  return true;
}
