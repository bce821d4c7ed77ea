// The simulated operations of the kernel, security, process status and image
// help libraries and of the native layer, acting on the active machine.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Machine.h"
#include "PlatformCalls.h"
#include "Snapshot.h"

using namespace sim;

namespace sim {

std::string Args(const char* format, ...) {
  char text[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof(text), format, ap);
  va_end(ap);
  return text;
}

NTSTATUS SimNtQuerySystemInformation(ULONG infoClass, PVOID buffer, ULONG length, PULONG returned) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("NtQuerySystemInformation", infoClass, Args("%u,%u", infoClass, length))) {
    return f->status;
  }
  if (infoClass != 5) return STATUS_INVALID_INFO_CLASS;
  if (m.snapshotQueries++ == 0) {
    const unsigned char* bytes = (const unsigned char*)buffer;
    bool zeroed = true;
    for (ULONG i = 0; i < length && zeroed; ++i) zeroed = bytes[i] == 0;
    m.mutableBooks().firstSnapshotBufferZeroed = zeroed;
  }
  size_t needed = sim::SnapshotSize(m);
  if (returned != nullptr) *returned = (ULONG)needed;
  if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  sim::WriteSnapshot(m, (unsigned char*)buffer);
  ++m.snapshotsTaken;
  return STATUS_SUCCESS;
}

// The platform's translation of the statuses the simulation gives.
ULONG SimRtlNtStatusToDosError(NTSTATUS status) {
  static const struct {
    NTSTATUS status;
    ULONG code;
  } kTranslations[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_INVALID_CID, ERROR_INVALID_PARAMETER},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_INVALID_INFO_CLASS, ERROR_INVALID_PARAMETER},
      {STATUS_INFO_LENGTH_MISMATCH, 24},                // ERROR_BAD_LENGTH
      {(NTSTATUS)0xC0000017, ERROR_NOT_ENOUGH_MEMORY},  // STATUS_NO_MEMORY
      {(NTSTATUS)0x80000005, 234},                      // STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA
  };
  ActiveMachine().Enter("RtlNtStatusToDosError", (uint32_t)status, Args("0x%x", (unsigned)status));
  for (const auto& t : kTranslations) {
    if (t.status == status) return t.code;
  }
  return 317;  // ERROR_MR_MID_NOT_FOUND
}

}  // namespace sim

namespace {

const HANDLE kCurrentProcess = (HANDLE)(intptr_t)-1;

struct Entry {
  const char* module;
  const char* name;
  FARPROC address;
};

const Entry kEntries[] = {
    {"ntdll", "NtQuerySystemInformation", (FARPROC)(void*)&SimNtQuerySystemInformation},
    {"ntdll", "NtOpenThread", (FARPROC)(void*)&SimNtOpenThread},
    {"ntdll", "NtQueryInformationThread", (FARPROC)(void*)&SimNtQueryInformationThread},
    {"ntdll", "RtlCreateQueryDebugBuffer", (FARPROC)(void*)&SimRtlCreateQueryDebugBuffer},
    {"ntdll", "RtlQueryProcessDebugInformation", (FARPROC)(void*)&SimRtlQueryProcessDebugInformation},
    {"ntdll", "RtlDestroyQueryDebugBuffer", (FARPROC)(void*)&SimRtlDestroyQueryDebugBuffer},
    {"ntdll", "RtlNtStatusToDosError", (FARPROC)(void*)&SimRtlNtStatusToDosError},
    {"psapi", "EnumProcessModulesEx", (FARPROC)(void*)&SimEnumProcessModulesEx},
    {"kernel32", "IsWow64Process", (FARPROC)(void*)&SimIsWow64Process},
    {"kernel32", "K32EnumProcessModules", (FARPROC)(void*)&SimK32EnumProcessModules},
    {"kernel32", "GetThreadDescription", (FARPROC)(void*)&SimGetThreadDescription},
#if defined(_WIN64)
    {"kernel32", "Wow64GetThreadContext", (FARPROC)(void*)&SimWow64GetThreadContext},
#endif
    {"ntdll", "NtQueryObject", (FARPROC)(void*)&SimNtQueryObject},
    {"ntdll", "NtQueryMutant", (FARPROC)(void*)&SimNtQueryMutant},
    {"ntdll", "NtQueryInformationProcess", (FARPROC)(void*)&SimNtQueryInformationProcess},
    {"imagehlp", "SymGetLineFromAddr", (FARPROC)(void*)&SimSymGetLineFromAddr},
    {"imagehlp", "SymGetLineFromAddr64", (FARPROC)(void*)&SimSymGetLineFromAddr64},
    {"user32", "IsWindow", (FARPROC)(void*)&SimIsWindow},
    {"user32", "GetWindowThreadProcessId", (FARPROC)(void*)&SimGetWindowThreadProcessId},
    {"user32", "GetClassNameW", (FARPROC)(void*)&SimGetClassNameW},
    {"user32", "EnumWindows", (FARPROC)(void*)&SimEnumWindows},
    {"user32", "SendMessageTimeoutW", (FARPROC)(void*)&SimSendMessageTimeoutW},
};

}  // namespace

DWORD GetLastError() { return ActiveMachine().lastError; }

void SetLastError(DWORD code) { ActiveMachine().lastError = code; }

BOOL CloseHandle(HANDLE handle) {
  Machine& m = ActiveMachine();
  const HandleEntry* entry = m.FindHandle(handle);
  std::string what = entry != nullptr ? entry->kind + ":" + entry->name : "unknown";
  if (const FailRule* f = m.Enter("CloseHandle", (uintptr_t)handle, Args("%p,", handle) + what))
    return FailWith(f, FALSE);
  bool file = entry != nullptr && entry->kind == "file";
  if (!m.ReleaseHandle(handle)) {
    m.NoteMisuse(Args("CloseHandle of unknown handle %p", handle));
    return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  }
  if (file && m.fileCloseError != 0) return FailWithError(m.fileCloseError, FALSE);
  return TRUE;
}

HANDLE GetCurrentProcess() { return kCurrentProcess; }

DWORD GetCurrentProcessId() { return ActiveMachine().selfPid(); }

DWORD GetCurrentThreadId() { return ActiveMachine().selfTid(); }

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("OpenProcess", pid, Args("0x%x,%d,%u", access, inherit, pid))) {
    return FailWith(f, (HANDLE) nullptr);
  }
  Process* p = m.FindProcess(pid);
  if ((p == nullptr && pid != m.selfPid()) || (p != nullptr && m.performanceCounter < p->startsAt)) {
    return FailWithError(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
  }
  m.lastOpenedPid = pid;
  return m.NewHandle("process", std::to_string(pid), pid);
}

HMODULE GetModuleHandleA(LPCSTR name) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetModuleHandleA", 0, Text(name))) return FailWith(f, (HMODULE) nullptr);
  HMODULE module = name == nullptr ? nullptr : m.ModuleHandle(name);
  if (module == nullptr) return FailWithError(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
  return module;
}

// The local heap is the C library's: a block not freed is a leak the
// sanitizer's leak check names.
HLOCAL LocalAlloc(UINT, SIZE_T bytes) { return std::malloc(bytes); }

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return NULL;
}

HMODULE LoadLibraryA(LPCSTR name) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("LoadLibraryA", 0, Text(name))) return FailWith(f, (HMODULE) nullptr);
  if (name == nullptr || !m.LoadLibraryNamed(name)) return FailWithError(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
  return m.ModuleHandle(name);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  Machine& m = ActiveMachine();
  const std::string* moduleName = (const std::string*)module;
  if (const FailRule* f =
          m.Enter("GetProcAddress", 0, Text(moduleName ? moduleName->c_str() : nullptr) + "," + Text(name))) {
    return FailWith(f, (FARPROC) nullptr);
  }
  if (moduleName == nullptr || name == nullptr || !m.HasEntry(*moduleName, name)) {
    return FailWithError(ERROR_PROC_NOT_FOUND, (FARPROC) nullptr);
  }
  for (const Entry& e : kEntries) {
    if (std::strcmp(e.name, name) == 0) return e.address;
  }
  return FailWithError(ERROR_PROC_NOT_FOUND, (FARPROC) nullptr);
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetVersionExA", 0, Args("%u", info ? info->dwOSVersionInfoSize : 0))) {
    return FailWith(f, FALSE);
  }
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    return FailWithError(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  info->dwMajorVersion = m.majorVersion();
  info->dwMinorVersion = 0;
  info->dwBuildNumber = m.majorVersion() <= 4 ? 1381 : 2195;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  info->szCSDVersion[0] = '\0';
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  if (SleepOnControlThread(milliseconds)) return;
  Machine& m = ActiveMachine();
  m.Enter("Sleep", milliseconds, Args("%u", milliseconds));
  m.performanceCounter += (uint64_t)milliseconds * 1000;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("QueryPerformanceCounter", 0, "")) return FailWith(f, FALSE);
  if (m.CallTotal("QueryPerformanceCounter") == m.clockSetBackAtRead) {
    m.performanceCounter -= std::min(m.performanceCounter, m.clockSetBackBy);
  }
  count->QuadPart = (LONGLONG)m.performanceCounter;
  m.performanceCounter += m.performanceCounterStep;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("QueryPerformanceFrequency", 0, "")) return FailWith(f, FALSE);
  frequency->QuadPart = 1000000;
  return TRUE;
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetComputerNameA", 0, Args("%u", size ? *size : 0))) return FailWith(f, FALSE);
  const std::string& name = m.computerName();
  if (*size < name.size() + 1) {
    *size = (DWORD)name.size() + 1;
    return FailWithError(ERROR_BUFFER_OVERFLOW, FALSE);
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = (DWORD)name.size();
  return TRUE;
}

HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("OpenEventA", 0, Args("0x%x,%d,", access, inherit) + Text(name))) {
    return FailWith(f, (HANDLE) nullptr);
  }
  if (m.outputUnflushed) m.NoteMisuse("the event was opened before the report was written out");
  if (name == nullptr || !m.HasEvent(name)) return FailWithError(ERROR_FILE_NOT_FOUND, (HANDLE) nullptr);
  return m.NewHandle("event", name);
}

BOOL SetEvent(HANDLE event) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("SetEvent", (uintptr_t)event, Args("%p", event))) return FailWith(f, FALSE);
  if (!IsHandleOfKind(event, "event")) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  if (m.outputUnflushed) m.NoteMisuse("the event was signalled before the report was written out");
  m.mutableBooks().signalledEvents.push_back(m.FindHandle(event)->name);
  return TRUE;
}

// The process's creation time; its other times are 0, as Wine gives them
// for another process (its processor time is in the snapshot).
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel, LPFILETIME user) {
  Machine& m = ActiveMachine();
  Process* p = m.ProcessOfHandle(process);
  DWORD pid = p != nullptr ? p->id : 0;
  if (const FailRule* f = m.Enter("GetProcessTimes", pid, Args("%u", pid))) return FailWith(f, FALSE);
  if (p == nullptr) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  uint64_t created = p->CreatedInSnapshot(m.snapshotsTaken);
  if (!p->created.empty()) created = p->created.back();
  if (m.performanceCounter >= p->replacedAt) created += 1 + p->replacedAt * 10;
  creation->dwLowDateTime = (DWORD)created;
  creation->dwHighDateTime = (DWORD)(created >> 32);
  for (LPFILETIME other : {exit, kernel, user}) other->dwLowDateTime = other->dwHighDateTime = 0;
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  Machine& m = ActiveMachine();
  Process* p = m.ProcessOfHandle(process);
  DWORD pid = p != nullptr ? p->id : 0;
  if (const FailRule* f = m.Enter("GetExitCodeProcess", pid, Args("%u", pid))) return FailWith(f, FALSE);
  if (p == nullptr) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  *exitCode = m.performanceCounter >= p->endsAt ? 0 : STILL_ACTIVE;
  return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("SetConsoleCtrlHandler", (uint64_t)add, Args("%d", add))) return FailWith(f, FALSE);
  auto& handlers = m.ctrlHandlers;
  if (add) {
    handlers.push_back(handler);
    return TRUE;
  }
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
    if (*it == handler) {
      handlers.erase(std::next(it).base());
      return TRUE;
    }
  }
  return FailWithError(ERROR_INVALID_PARAMETER, FALSE);
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  Machine& m = ActiveMachine();
  if (const FailRule* f =
          m.Enter("OpenProcessToken", 0, Args("%s,0x%x", process == kCurrentProcess ? "current" : "other", access)))
    return FailWith(f, FALSE);
  if (process != kCurrentProcess) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  *token = m.NewHandle("token", Args("0x%x", access));
  return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid) {
  static const struct {
    const char* name;
    DWORD value;
  } kPrivileges[] = {{"SeShutdownPrivilege", 19}, {"SeDebugPrivilege", 20}, {"SeBackupPrivilege", 17}};
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("LookupPrivilegeValueA", 0, Text(system) + "," + Text(name)))
    return FailWith(f, FALSE);
  for (const auto& p : kPrivileges) {
    if (name != nullptr && std::strcmp(p.name, name) == 0) {
      luid->LowPart = p.value;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  return FailWithError(ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                           PTOKEN_PRIVILEGES previous, PDWORD returnLength) {
  Machine& m = ActiveMachine();
  std::string args =
      Args("%d,%u,%u,0x%x,%u,%d,%d", disableAll, newState ? newState->PrivilegeCount : 0,
           newState ? newState->Privileges[0].Luid.LowPart : 0, newState ? newState->Privileges[0].Attributes : 0,
           length, previous != nullptr, returnLength != nullptr);
  if (const FailRule* f = m.Enter("AdjustTokenPrivileges", 0, args)) return FailWith(f, FALSE);
  if (!IsHandleOfKind(token, "token")) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  // Only the debug privilege is modelled by name; its LUID is 20.
  bool debug = newState->Privileges[0].Luid.LowPart == 20;
  std::string name = debug ? "SeDebugPrivilege" : Args("luid %u", newState->Privileges[0].Luid.LowPart);
  if (m.PrivilegeDenied(name)) return FailWithError(ERROR_NOT_ALL_ASSIGNED, TRUE);
  if (newState->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) m.mutableBooks().enabledPrivileges.push_back(name);
  return FailWithError(ERROR_SUCCESS, TRUE);
}

BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("EnumProcesses", 0, Args("%u", bytes))) return FailWith(f, FALSE);
  std::vector<DWORD> all = m.processIds;
  if (!m.processIdsSet) {
    all.clear();
    for (const sim::Process& p : m.processes) {
      if (m.performanceCounter >= p.startsAt && m.performanceCounter < p.endsAt) all.push_back(p.id);
    }
  }
  size_t fit = std::min<size_t>(all.size(), bytes / sizeof(DWORD));
  std::copy(all.begin(), all.begin() + fit, ids);
  *bytesReturned = (DWORD)(fit * sizeof(DWORD));
  return TRUE;
}

BOOL SymInitialize(HANDLE session, PCSTR searchPath, BOOL invade) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("SymInitialize", 0, Args("%s,", searchPath ? "path" : "null") + Args("%d", invade))) {
    return FailWith(f, FALSE);
  }
  // A session may be opened on any value that tells it from the others;
  // only a handle of another kind of object is refused.
  bool acceptable = IsHandleOfKind(session, "process") || m.FindHandle(session) == nullptr;
  if (!acceptable || m.symbolSessions.count(session)) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  m.symbolSessions[session];
  return TRUE;
}

DWORD SymSetOptions(DWORD options) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("SymSetOptions", options, Args("0x%x", options))) return FailWith(f, (DWORD)0);
  m.symbolOptions = options;
  return options;
}

BOOL SymCleanup(HANDLE process) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("SymCleanup", 0, Args("%p", process))) {
    // A failed cleanup still ends the session; only its result differs.
    m.symbolSessions.erase(process);
    m.deferredSymbolLoads.erase(process);
    return FailWith(f, FALSE);
  }
  m.deferredSymbolLoads.erase(process);
  if (m.symbolSessions.erase(process) == 0) {
    m.NoteMisuse("SymCleanup of a handle without a symbol session");
    return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  }
  return TRUE;
}
