#include <windows.h>

#include "common/NativeStatus.h"

namespace {

typedef ULONG(WINAPI* RtlNtStatusToDosErrorFn)(LONG);

// What the translation itself gives for a status it does not know.
const DWORD kNoTranslation = 317;

}  // namespace

void SetLastErrorFromStatus(LONG status) {
  DWORD code = kNoTranslation;
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll != NULL) {
    RtlNtStatusToDosErrorFn translate = reinterpret_cast<RtlNtStatusToDosErrorFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    if (translate != NULL) code = translate(status);
  }
  SetLastError(code);
}
