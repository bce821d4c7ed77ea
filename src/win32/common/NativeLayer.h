#ifndef THREADSIFT_COMMON_NATIVE_LAYER_H
#define THREADSIFT_COMMON_NATIVE_LAYER_H

#include <windows.h>
#include <winternl.h>

// The entries of the native layer (ntdll) the tools call. None is imported:
// each is found at run time in the already loaded ntdll each time it is
// needed (two cheap lookups), so that nothing found outlives the call. A
// lookup that fails returns null, leaves the failed call's last error and,
// through failedCall, names that call ("GetModuleHandle" or "GetProcAddress").
typedef LONG(WINAPI* NtOpenThreadFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, CLIENT_ID*);
typedef LONG(WINAPI* NtQueryInformationThreadFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef LONG(WINAPI* NtQuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);
typedef PVOID(WINAPI* RtlCreateQueryDebugBufferFn)(ULONG, BOOLEAN);
typedef LONG(WINAPI* RtlQueryProcessDebugInformationFn)(ULONG_PTR, ULONG, PVOID);
typedef LONG(WINAPI* RtlDestroyQueryDebugBufferFn)(PVOID);
typedef LONG(WINAPI* NtQueryObjectFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef LONG(WINAPI* NtQueryMutantFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
typedef LONG(WINAPI* NtQueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// The native layer's basic records of a thread and of a process (class 0
// of their queries), in the tool's own width.
struct NativeThreadBasics {
  LONG exitStatus;
  PVOID environmentBlock;
  CLIENT_ID clientId;
  ULONG_PTR affinity;
  LONG priority;
  LONG basePriority;
};

struct NativeProcessBasics {
  LONG exitStatus;
  PVOID environmentBlock;
  ULONG_PTR affinity;
  LONG basePriority;
  ULONG_PTR processId;
  ULONG_PTR parentId;
};

NtOpenThreadFn FindNtOpenThread(const char** failedCall);
NtQueryInformationThreadFn FindNtQueryInformationThread(const char** failedCall);
NtQuerySystemInformationFn FindNtQuerySystemInformation(const char** failedCall);
RtlCreateQueryDebugBufferFn FindRtlCreateQueryDebugBuffer(const char** failedCall);
RtlQueryProcessDebugInformationFn FindRtlQueryProcessDebugInformation(const char** failedCall);
RtlDestroyQueryDebugBufferFn FindRtlDestroyQueryDebugBuffer(const char** failedCall);
NtQueryObjectFn FindNtQueryObject(const char** failedCall);
NtQueryMutantFn FindNtQueryMutant(const char** failedCall);
NtQueryInformationProcessFn FindNtQueryInformationProcess(const char** failedCall);

// The basic record of a thread or of a process (class 0 of its query);
// false, with the last error, when it cannot be had.
bool QueryThreadBasics(HANDLE thread, NativeThreadBasics* basics);
bool QueryProcessBasics(HANDLE process, NativeProcessBasics* basics);

// Sets the last-error code to the platform's translation of a status that a
// native call returned (the native layer sets none), so that the error line
// which follows carries the code of that failure.
void SetLastErrorFromStatus(LONG status);

#endif
