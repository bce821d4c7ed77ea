#include <windows.h>

#include "common/NativeLayer.h"

namespace {

typedef ULONG(WINAPI* RtlNtStatusToDosErrorFn)(LONG);

const char kNativeModule[] = "ntdll.dll";
// What the translation itself gives for a status it does not know.
const DWORD kNoTranslation = 317;

// Finds entry name in the native layer into *slot the first time; returns
// what *slot holds.
void* FindEntry(const char* name, void** slot, const char** failedCall) {
  if (*slot != NULL) return *slot;
  HMODULE ntdll = GetModuleHandleA(kNativeModule);
  if (ntdll == NULL) {
    *failedCall = "GetModuleHandle";
    return NULL;
  }
  *slot = reinterpret_cast<void*>(GetProcAddress(ntdll, name));
  if (*slot == NULL) *failedCall = "GetProcAddress";
  return *slot;
}

template <typename Fn>
Fn Find(const char* name, void** slot, const char** failedCall) {
  return reinterpret_cast<Fn>(FindEntry(name, slot, failedCall));
}

void* g_ntOpenThread = NULL;
void* g_ntQueryInformationThread = NULL;
void* g_ntQuerySystemInformation = NULL;
void* g_rtlCreateQueryDebugBuffer = NULL;
void* g_rtlQueryProcessDebugInformation = NULL;
void* g_rtlDestroyQueryDebugBuffer = NULL;
void* g_rtlNtStatusToDosError = NULL;

}  // namespace

NtOpenThreadFn FindNtOpenThread(const char** failedCall) {
  return Find<NtOpenThreadFn>("NtOpenThread", &g_ntOpenThread, failedCall);
}

NtQueryInformationThreadFn FindNtQueryInformationThread(const char** failedCall) {
  return Find<NtQueryInformationThreadFn>("NtQueryInformationThread", &g_ntQueryInformationThread, failedCall);
}

NtQuerySystemInformationFn FindNtQuerySystemInformation(const char** failedCall) {
  return Find<NtQuerySystemInformationFn>("NtQuerySystemInformation", &g_ntQuerySystemInformation, failedCall);
}

RtlCreateQueryDebugBufferFn FindRtlCreateQueryDebugBuffer(const char** failedCall) {
  return Find<RtlCreateQueryDebugBufferFn>("RtlCreateQueryDebugBuffer", &g_rtlCreateQueryDebugBuffer, failedCall);
}

RtlQueryProcessDebugInformationFn FindRtlQueryProcessDebugInformation(const char** failedCall) {
  return Find<RtlQueryProcessDebugInformationFn>("RtlQueryProcessDebugInformation", &g_rtlQueryProcessDebugInformation,
                                                 failedCall);
}

RtlDestroyQueryDebugBufferFn FindRtlDestroyQueryDebugBuffer(const char** failedCall) {
  return Find<RtlDestroyQueryDebugBufferFn>("RtlDestroyQueryDebugBuffer", &g_rtlDestroyQueryDebugBuffer, failedCall);
}

void SetLastErrorFromStatus(LONG status) {
  const char* failedCall = "";
  RtlNtStatusToDosErrorFn translate =
      Find<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError", &g_rtlNtStatusToDosError, &failedCall);
  SetLastError(translate != NULL ? translate(status) : kNoTranslation);
}
