// Helpers shared by the simulated operations.
#ifndef SIM_PLATFORM_CALLS_H
#define SIM_PLATFORM_CALLS_H

#include <cstdarg>
#include <cstdio>
#include <string>

#include "Machine.h"
#include "winternl.h"

namespace sim {

std::string Args(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::string Text(const char* s) { return s == nullptr ? "(null)" : s; }

// Applies an injected failure: sets its last-error code and gives result.
template <typename T>
T FailWith(const FailRule* rule, T result) {
  ActiveMachine().lastError = rule->lastError;
  return result;
}

template <typename T>
T FailWithError(DWORD code, T result) {
  ActiveMachine().lastError = code;
  return result;
}

inline bool IsHandleOfKind(HANDLE handle, const char* kind) {
  const HandleEntry* entry = ActiveMachine().FindHandle(handle);
  return entry != nullptr && entry->kind == kind;
}

// Raises an access violation inside the operation that calls it.
[[noreturn]] void RaiseFault();

// Entries found only through GetProcAddress.
NTSTATUS SimNtQuerySystemInformation(ULONG infoClass, PVOID buffer, ULONG length, PULONG returned);
NTSTATUS SimNtOpenThread(PHANDLE thread, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, CLIENT_ID* client);
NTSTATUS SimNtQueryInformationThread(HANDLE thread, ULONG infoClass, PVOID info, ULONG length, PULONG returned);
PVOID SimRtlCreateQueryDebugBuffer(ULONG maximumCommit, BOOLEAN useEventPair);
NTSTATUS SimRtlQueryProcessDebugInformation(ULONG_PTR pid, ULONG mask, PVOID buffer);
NTSTATUS SimRtlDestroyQueryDebugBuffer(PVOID buffer);
ULONG SimRtlNtStatusToDosError(NTSTATUS status);
BOOL SimEnumProcessModulesEx(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed, DWORD filter);
BOOL SimK32EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed);
BOOL SimIsWow64Process(HANDLE process, PBOOL wow64);
LONG SimGetThreadDescription(HANDLE thread, PWSTR* description);
NTSTATUS AnswerWow64Information(const Process& p, PVOID info, ULONG length, PULONG returned);
#if defined(_WIN64)
BOOL SimWow64GetThreadContext(HANDLE thread, PWOW64_CONTEXT context);
#endif
BOOL ListModules(const char* op, HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed, bool only32Bit);
// Counts a read of a thread's registers through op: the thread, or null
// with the failure's last error.
Thread* EnterContextRead(const char* op, HANDLE thread, DWORD flags);
// The registers a read of thread t's context finds (and the frames it shows
// from then on); false when a 32-bit read catches it switching modes.
void ReadRegisters(Thread* t, uint64_t* pc, uint64_t* fp, uint64_t* sp);
NTSTATUS SimNtQueryObject(HANDLE handle, ULONG infoClass, PVOID info, ULONG length, PULONG returned);
NTSTATUS SimNtQueryMutant(HANDLE handle, ULONG infoClass, PVOID info, ULONG length, PULONG returned);
NTSTATUS SimNtQueryInformationProcess(HANDLE process, ULONG infoClass, PVOID info, ULONG length, PULONG returned);
BOOL SimIsWindow(HWND window);
DWORD SimGetWindowThreadProcessId(HWND window, LPDWORD pid);
int SimGetClassNameW(HWND window, LPWSTR name, int size);
BOOL SimEnumWindows(WNDENUMPROC callback, LPARAM value);
LRESULT SimSendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeout,
                               DWORD_PTR* result);

// What the basic record of a thread duplicated from a process's handle
// table says; false when the handle is no such thread's.
struct ThreadBasicsAnswer {
  LONG exitStatus;
  DWORD pid;
  DWORD tid;
};
bool AnswerForDuplicatedThread(HANDLE thread, ThreadBasicsAnswer* answer);
BOOL SimSymGetLineFromAddr(HANDLE process, DWORD address, PDWORD displacement, PIMAGEHLP_LINE line);
BOOL SimSymGetLineFromAddr64(HANDLE process, DWORD64 address, PDWORD displacement, PIMAGEHLP_LINE64 line);

}  // namespace sim

#endif
