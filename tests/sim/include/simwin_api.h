// The simulated Windows platform: types, constants and the operations the
// tools call, with Windows' widths (DWORD, LONG, BOOL 32-bit; WCHAR 16-bit;
// pointers and handles of the build's width). Tests include this header;
// tool sources reach it through <windows.h>.
#ifndef SIMWIN_API_H
#define SIMWIN_API_H

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && !defined(_WIN64)
#define _WIN64 1
#endif

#define WINAPI
#define NTAPI
#define CALLBACK
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int BOOL;
typedef char CHAR;
typedef char16_t WCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef LONG NTSTATUS;

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef BOOL* PBOOL;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;

struct HINSTANCE__;
typedef HINSTANCE__* HMODULE;
typedef HINSTANCE__* HINSTANCE;
typedef INT_PTR (*FARPROC)();
typedef BOOL (*PHANDLER_ROUTINE)(DWORD);

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
typedef LUID* PLUID;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
typedef TOKEN_PRIVILEGES* PTOKEN_PRIVILEGES;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA* LPOSVERSIONINFOA;

// Last-error codes.
const DWORD ERROR_SUCCESS = 0;
const DWORD ERROR_FILE_NOT_FOUND = 2;
const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD ERROR_BUFFER_OVERFLOW = 111;
const DWORD ERROR_INSUFFICIENT_BUFFER = 122;
const DWORD ERROR_MOD_NOT_FOUND = 126;
const DWORD ERROR_PROC_NOT_FOUND = 127;
const DWORD ERROR_PARTIAL_COPY = 299;
const DWORD ERROR_NO_TOKEN = 1008;
const DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
const DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;

// Native statuses.
const NTSTATUS STATUS_SUCCESS = 0;
const NTSTATUS STATUS_INFO_LENGTH_MISMATCH = (NTSTATUS)0xC0000004;
const NTSTATUS STATUS_INVALID_INFO_CLASS = (NTSTATUS)0xC0000003;
const NTSTATUS STATUS_ACCESS_DENIED = (NTSTATUS)0xC0000022;

const DWORD TOKEN_QUERY = 0x0008;
const DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
const DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
const DWORD EVENT_ALL_ACCESS = 0x1F0003;
const DWORD MAX_COMPUTERNAME_LENGTH = 15;
const DWORD CTRL_C_EVENT = 0;
const DWORD CTRL_BREAK_EVENT = 1;
const DWORD VER_PLATFORM_WIN32_NT = 2;

// Kernel services.
DWORD GetLastError();
void SetLastError(DWORD code);
BOOL CloseHandle(HANDLE handle);
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);
HMODULE GetModuleHandleA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL GetVersionExA(LPOSVERSIONINFOA info);
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Security services.
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                           PTOKEN_PRIVILEGES previous, PDWORD returnLength);

// Process status library.
BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned);

// Image help library.
BOOL SymInitialize(HANDLE process, PCSTR searchPath, BOOL invade);
DWORD SymSetOptions(DWORD options);
BOOL SymCleanup(HANDLE process);

#endif
