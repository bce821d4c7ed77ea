#include <windows.h>

#include "common/NativeLayer.h"

#include <cstring>

namespace {

typedef ULONG(WINAPI* RtlNtStatusToDosErrorFn)(LONG);

const char kNativeModule[] = "ntdll.dll";
// What the translation itself gives for a status it does not know.
const DWORD kNoTranslation = 317;

// Finds entry name in the native layer.
void* FindEntry(const char* name, const char** failedCall) {
  HMODULE ntdll = GetModuleHandleA(kNativeModule);
  if (ntdll == NULL) {
    *failedCall = "GetModuleHandle";
    return NULL;
  }
  void* entry = reinterpret_cast<void*>(GetProcAddress(ntdll, name));
  if (entry == NULL) *failedCall = "GetProcAddress";
  return entry;
}

template <typename Fn>
Fn Find(const char* name, const char** failedCall) {
  return reinterpret_cast<Fn>(FindEntry(name, failedCall));
}

}  // namespace

NtOpenThreadFn FindNtOpenThread(const char** failedCall) {
  return Find<NtOpenThreadFn>("NtOpenThread", failedCall);
}

NtQueryInformationThreadFn FindNtQueryInformationThread(const char** failedCall) {
  return Find<NtQueryInformationThreadFn>("NtQueryInformationThread", failedCall);
}

NtQuerySystemInformationFn FindNtQuerySystemInformation(const char** failedCall) {
  return Find<NtQuerySystemInformationFn>("NtQuerySystemInformation", failedCall);
}

RtlCreateQueryDebugBufferFn FindRtlCreateQueryDebugBuffer(const char** failedCall) {
  return Find<RtlCreateQueryDebugBufferFn>("RtlCreateQueryDebugBuffer", failedCall);
}

RtlQueryProcessDebugInformationFn FindRtlQueryProcessDebugInformation(const char** failedCall) {
  return Find<RtlQueryProcessDebugInformationFn>("RtlQueryProcessDebugInformation", failedCall);
}

RtlDestroyQueryDebugBufferFn FindRtlDestroyQueryDebugBuffer(const char** failedCall) {
  return Find<RtlDestroyQueryDebugBufferFn>("RtlDestroyQueryDebugBuffer", failedCall);
}

NtQueryObjectFn FindNtQueryObject(const char** failedCall) {
  return Find<NtQueryObjectFn>("NtQueryObject", failedCall);
}

NtQueryMutantFn FindNtQueryMutant(const char** failedCall) {
  return Find<NtQueryMutantFn>("NtQueryMutant", failedCall);
}

NtQueryInformationProcessFn FindNtQueryInformationProcess(const char** failedCall) {
  return Find<NtQueryInformationProcessFn>("NtQueryInformationProcess", failedCall);
}

namespace {

const ULONG kBasicInformation = 0;  // of a thread, and of a process

template <typename Query, typename Record>
bool QueryBasics(Query query, HANDLE object, Record* basics) {
  memset(basics, 0, sizeof(*basics));
  if (query == NULL) return false;
  LONG status = query(object, kBasicInformation, basics, sizeof(*basics), NULL);
  if (status != 0) SetLastErrorFromStatus(status);
  return status == 0;
}

}  // namespace

bool QueryThreadBasics(HANDLE thread, NativeThreadBasics* basics) {
  const char* failedCall = "";
  return QueryBasics(FindNtQueryInformationThread(&failedCall), thread, basics);
}

bool QueryProcessBasics(HANDLE process, NativeProcessBasics* basics) {
  const char* failedCall = "";
  return QueryBasics(FindNtQueryInformationProcess(&failedCall), process, basics);
}

void SetLastErrorFromStatus(LONG status) {
  const char* failedCall = "";
  RtlNtStatusToDosErrorFn translate =
      Find<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError", &failedCall);
  SetLastError(translate != NULL ? translate(status) : kNoTranslation);
}
