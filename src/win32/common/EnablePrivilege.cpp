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

bool EnablePrivilege(const char* name) {
  HANDLE token = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    printf("OpenProcessToken error %d\n", (int)GetLastError());
    return false;
  }

  TOKEN_PRIVILEGES privileges;
  if (!LookupPrivilegeValueA(NULL, name, &privileges.Privileges[0].Luid)) {
    printf("LookupPrivilegeValue %s error %d\n", name, (int)GetLastError());
    CloseTokenKeepingLastError(token);
    return false;
  }
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

  // An account without the privilege still gets success here (with
  // ERROR_NOT_ALL_ASSIGNED); the tool then goes on without it.
  if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL)) {
    printf("AdjustTokenPrivileges error %d\n", (int)GetLastError());
    CloseTokenKeepingLastError(token);
    return false;
  }
  CloseTokenKeepingLastError(token);
  return true;
}
