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
#define __cdecl
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef int16_t SHORT;
typedef uint32_t DWORD;
#define MAXDWORD 0xffffffff
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int BOOL;
typedef BYTE BOOLEAN;
typedef char CHAR;
typedef char16_t WCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef uint64_t* PDWORD64;
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
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;

struct HINSTANCE__;
typedef HINSTANCE__* HMODULE;
struct HWND__;
typedef HWND__* HWND;
typedef HINSTANCE__* HINSTANCE;
typedef INT_PTR (*FARPROC)();
typedef DWORD ACCESS_MASK;
typedef UINT* PUINT;
typedef char* PCHAR;
typedef char* PSTR;

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef BOOL(CALLBACK* WNDENUMPROC)(HWND, LPARAM);
const UINT WM_NULL = 0;
const UINT SMTO_ABORTIFHUNG = 0x2;

#define LOWORD(l) ((WORD)((DWORD_PTR)(l)&0xffff))
#define HIWORD(l) ((WORD)(((DWORD_PTR)(l) >> 16) & 0xffff))
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

// An i386 thread's registers: the 32-bit build's context, and the record
// 64-bit Windows keeps of a 32-bit thread's.
struct SimI386Registers {
  DWORD ContextFlags;
  DWORD Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
  BYTE FloatSave[112];
  DWORD SegGs, SegFs, SegEs, SegDs;
  DWORD Edi, Esi, Ebx, Edx, Ecx, Eax;
  DWORD Ebp, Eip, SegCs, EFlags, Esp, SegSs;
};

// Thread context, with the registers the stack walk starts from.
#if defined(_WIN64)
struct alignas(16) CONTEXT {
  DWORD64 HomeArea[6];
  DWORD ContextFlags;
  DWORD MxCsr;
  BYTE SegmentsFlagsAndDebug[64];
  DWORD64 Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
  DWORD64 R8, R9, R10, R11, R12, R13, R14, R15;
  DWORD64 Rip;
  BYTE FloatingPointAndVector[976];
};
const DWORD CONTEXT_FULL = 0x10000B;
#else
struct CONTEXT : SimI386Registers {};
const DWORD CONTEXT_FULL = 0x10007;
#endif
typedef CONTEXT* PCONTEXT;
typedef CONTEXT* LPCONTEXT;

#if defined(_WIN64)
// A 32-bit thread's registers as 64-bit Windows keeps them beside its own.
struct WOW64_CONTEXT : SimI386Registers {
  BYTE ExtendedRegisters[512];
};
typedef WOW64_CONTEXT* PWOW64_CONTEXT;
UINT GetSystemWow64DirectoryA(LPSTR folder, UINT size);
#endif
UINT GetSystemDirectoryA(LPSTR folder, UINT size);

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

// A region of a process's address space as VirtualQueryEx describes it.
struct MEMORY_BASIC_INFORMATION {
  PVOID BaseAddress;
  PVOID AllocationBase;
  DWORD AllocationProtect;
#if defined(_WIN64)
  WORD PartitionId;
#endif
  SIZE_T RegionSize;
  DWORD State;
  DWORD Protect;
  DWORD Type;
};
typedef MEMORY_BASIC_INFORMATION* PMEMORY_BASIC_INFORMATION;
const DWORD MEM_COMMIT = 0x1000;
const DWORD MEM_FREE = 0x10000;
const DWORD MEM_PRIVATE = 0x20000;
const DWORD MEM_IMAGE = 0x1000000;
const DWORD PAGE_NOACCESS = 0x01;
const DWORD PAGE_READWRITE = 0x04;
const DWORD PAGE_EXECUTE = 0x10;
const DWORD PAGE_EXECUTE_READ = 0x20;
const DWORD PAGE_EXECUTE_READWRITE = 0x40;
const DWORD PAGE_EXECUTE_WRITECOPY = 0x80;
const DWORD PAGE_GUARD = 0x100;

// Image help records.
enum ADDRESS_MODE { AddrMode1616, AddrMode1632, AddrModeReal, AddrModeFlat };

struct ADDRESS {
  DWORD Offset;
  WORD Segment;
  ADDRESS_MODE Mode;
};
struct KDHELP {
  DWORD Thread, ThCallbackStack, NextCallback, FramePointer, KiCallUserMode, KeUserCallbackDispatcher, SystemRangeStart;
};
struct STACKFRAME {
  ADDRESS AddrPC, AddrReturn, AddrFrame, AddrStack;
  PVOID FuncTableEntry;
  DWORD Params[4];
  BOOL Far, Virtual;
  DWORD Reserved[3];
  KDHELP KdHelp;
};
typedef STACKFRAME* LPSTACKFRAME;

struct ADDRESS64 {
  DWORD64 Offset;
  WORD Segment;
  ADDRESS_MODE Mode;
};
struct KDHELP64 {
  DWORD64 Thread;
  DWORD ThCallbackStack, ThCallbackBStore, NextCallback, FramePointer;
  DWORD64 KiCallUserMode, KeUserCallbackDispatcher, SystemRangeStart, KiUserExceptionDispatcher, StackBase, StackLimit,
      Reserved[5];
};
struct STACKFRAME64 {
  ADDRESS64 AddrPC, AddrReturn, AddrFrame, AddrStack, AddrBStore;
  PVOID FuncTableEntry;
  DWORD64 Params[4];
  BOOL Far, Virtual;
  DWORD64 Reserved[3];
  KDHELP64 KdHelp;
};
typedef STACKFRAME64* LPSTACKFRAME64;

struct IMAGEHLP_SYMBOL {
  DWORD SizeOfStruct, Address, Size, Flags, MaxNameLength;
  CHAR Name[1];
};
typedef IMAGEHLP_SYMBOL* PIMAGEHLP_SYMBOL;
struct IMAGEHLP_SYMBOL64 {
  DWORD SizeOfStruct;
  DWORD64 Address;
  DWORD Size, Flags, MaxNameLength;
  CHAR Name[1];
};
typedef IMAGEHLP_SYMBOL64* PIMAGEHLP_SYMBOL64;

struct IMAGEHLP_LINE {
  DWORD SizeOfStruct;
  PVOID Key;
  DWORD LineNumber;
  PCHAR FileName;
  DWORD Address;
};
typedef IMAGEHLP_LINE* PIMAGEHLP_LINE;
struct IMAGEHLP_LINE64 {
  DWORD SizeOfStruct;
  PVOID Key;
  DWORD LineNumber;
  PCHAR FileName;
  DWORD64 Address;
};
typedef IMAGEHLP_LINE64* PIMAGEHLP_LINE64;

typedef BOOL (*PREAD_PROCESS_MEMORY_ROUTINE)(HANDLE, DWORD, PVOID, DWORD, PDWORD);
typedef PVOID (*PFUNCTION_TABLE_ACCESS_ROUTINE)(HANDLE, DWORD);
typedef DWORD (*PGET_MODULE_BASE_ROUTINE)(HANDLE, DWORD);
typedef DWORD (*PTRANSLATE_ADDRESS_ROUTINE)(HANDLE, HANDLE, ADDRESS*);
typedef BOOL (*PREAD_PROCESS_MEMORY_ROUTINE64)(HANDLE, DWORD64, PVOID, DWORD, LPDWORD);
typedef PVOID (*PFUNCTION_TABLE_ACCESS_ROUTINE64)(HANDLE, DWORD64);
typedef DWORD64 (*PGET_MODULE_BASE_ROUTINE64)(HANDLE, DWORD64);
typedef DWORD64 (*PTRANSLATE_ADDRESS_ROUTINE64)(HANDLE, HANDLE, ADDRESS64*);

const DWORD IMAGE_FILE_MACHINE_I386 = 0x014c;
const DWORD IMAGE_FILE_MACHINE_AMD64 = 0x8664;
const DWORD UNDNAME_COMPLETE = 0;
const DWORD UNDNAME_NAME_ONLY = 0x1000;

// Process status records.
struct MODULEINFO {
  LPVOID lpBaseOfDll;
  DWORD SizeOfImage;
  LPVOID EntryPoint;
};
typedef MODULEINFO* LPMODULEINFO;

// Version records.
struct VS_FIXEDFILEINFO {
  DWORD dwSignature, dwStrucVersion, dwFileVersionMS, dwFileVersionLS, dwProductVersionMS, dwProductVersionLS,
      dwFileFlagsMask, dwFileFlags, dwFileOS, dwFileType, dwFileSubtype, dwFileDateMS, dwFileDateLS;
};

// Last-error codes.
const DWORD ERROR_SUCCESS = 0;
const DWORD ERROR_FILE_NOT_FOUND = 2;
const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_SHARING_VIOLATION = 32;
const DWORD ERROR_FILE_EXISTS = 80;
const DWORD ERROR_DISK_FULL = 112;
const DWORD ERROR_ALREADY_EXISTS = 183;
const DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD ERROR_BUFFER_OVERFLOW = 111;
const DWORD ERROR_INSUFFICIENT_BUFFER = 122;
const DWORD ERROR_MOD_NOT_FOUND = 126;
const DWORD ERROR_PROC_NOT_FOUND = 127;
const DWORD ERROR_PARTIAL_COPY = 299;
const DWORD ERROR_BAD_EXE_FORMAT = 193;
const DWORD ERROR_INVALID_DATA = 13;
const DWORD ERROR_NOACCESS = 998;
const DWORD MAX_PATH = 260;
const DWORD ERROR_BAD_LENGTH = 24;
const DWORD ERROR_NO_TOKEN = 1008;
const DWORD ERROR_INVALID_ADDRESS = 487;
const DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
const DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
const DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
const DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;
const DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
const DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;

// Native statuses.
const NTSTATUS STATUS_SUCCESS = 0;
const NTSTATUS STATUS_INFO_LENGTH_MISMATCH = (NTSTATUS)0xC0000004;
const NTSTATUS STATUS_INVALID_INFO_CLASS = (NTSTATUS)0xC0000003;
const NTSTATUS STATUS_ACCESS_DENIED = (NTSTATUS)0xC0000022;
const NTSTATUS STATUS_INVALID_PARAMETER = (NTSTATUS)0xC000000D;
const NTSTATUS STATUS_INVALID_CID = (NTSTATUS)0xC000000B;

const DWORD TOKEN_QUERY = 0x0008;
const DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
const DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
const DWORD EVENT_ALL_ACCESS = 0x1F0003;
const DWORD MAX_COMPUTERNAME_LENGTH = 15;
const DWORD CTRL_C_EVENT = 0;
const DWORD CTRL_BREAK_EVENT = 1;
const DWORD CTRL_CLOSE_EVENT = 2;
const DWORD CTRL_LOGOFF_EVENT = 5;
const DWORD CTRL_SHUTDOWN_EVENT = 6;
const DWORD VER_PLATFORM_WIN32_NT = 2;

// Kernel services.
DWORD GetLastError();
void SetLastError(DWORD code);
BOOL CloseHandle(HANDLE handle);
const DWORD DUPLICATE_CLOSE_SOURCE = 0x1;
const DWORD DUPLICATE_SAME_ACCESS = 0x2;
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, PHANDLE target, DWORD access,
                     BOOL inherit, DWORD options);
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
const DWORD PROCESS_VM_READ = 0x10;
const DWORD PROCESS_QUERY_INFORMATION = 0x400;
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);
BOOL ReadProcessMemory(HANDLE process, LPCVOID address, LPVOID buffer, SIZE_T size, SIZE_T* read);

// Files the tool writes.
typedef void* LPSECURITY_ATTRIBUTES;
typedef void* LPOVERLAPPED;
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
const DWORD GENERIC_WRITE = 0x40000000;
const DWORD CREATE_NEW = 1;
const DWORD CREATE_ALWAYS = 2;
const DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
const DWORD MOVEFILE_REPLACE_EXISTING = 1;
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE model);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
BOOL DeleteFileA(LPCSTR path);
SIZE_T VirtualQueryEx(HANDLE process, LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length);
HMODULE GetModuleHandleA(LPCSTR name);
typedef void* HLOCAL;
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
HMODULE LoadLibraryA(LPCSTR name);
BOOL GetVersionExA(LPOSVERSIONINFOA info);
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
DWORD SuspendThread(HANDLE thread);
DWORD ResumeThread(HANDLE thread);
const DWORD STILL_ACTIVE = 259;
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel, LPFILETIME user);
BOOL GetThreadContext(HANDLE thread, LPCONTEXT context);
void Sleep(DWORD milliseconds);
// Code pages. The simulated machine's ANSI code page is ISO 8859-1: every
// byte is the character of the same number.
const UINT CP_ACP = 0;
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, WCHAR* wide, int capacity);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int length, LPSTR text, int capacity,
                        LPCSTR defaultChar, PBOOL usedDefault);
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// Security services.
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD length,
                           PTOKEN_PRIVILEGES previous, PDWORD returnLength);

// Process status library.
BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned);
BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed);
BOOL GetModuleInformation(HANDLE process, HMODULE module, LPMODULEINFO info, DWORD bytes);
DWORD GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR name, DWORD size);
DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR path, DWORD size);

// Version library.
DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle);
BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD length, LPVOID data);
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length);

// Image help library.
BOOL SymInitialize(HANDLE process, PCSTR searchPath, BOOL invade);
DWORD SymSetOptions(DWORD options);
BOOL SymCleanup(HANDLE process);
DWORD SymLoadModule(HANDLE process, HANDLE file, PCSTR image, PCSTR module, DWORD base, DWORD size);
DWORD64 SymLoadModule64(HANDLE process, HANDLE file, PCSTR image, PCSTR module, DWORD64 base, DWORD size);
BOOL SymUnloadModule(HANDLE process, DWORD base);
BOOL SymUnloadModule64(HANDLE process, DWORD64 base);
BOOL StackWalk(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME frame, PVOID context,
               PREAD_PROCESS_MEMORY_ROUTINE readMemory, PFUNCTION_TABLE_ACCESS_ROUTINE functionTable,
               PGET_MODULE_BASE_ROUTINE moduleBase, PTRANSLATE_ADDRESS_ROUTINE translate);
BOOL StackWalk64(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame, PVOID context,
                 PREAD_PROCESS_MEMORY_ROUTINE64 readMemory, PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTable,
                 PGET_MODULE_BASE_ROUTINE64 moduleBase, PTRANSLATE_ADDRESS_ROUTINE64 translate);
PVOID SymFunctionTableAccess(HANDLE process, DWORD address);
DWORD SymGetModuleBase(HANDLE process, DWORD address);
PVOID SymFunctionTableAccess64(HANDLE process, DWORD64 address);
DWORD64 SymGetModuleBase64(HANDLE process, DWORD64 address);
BOOL SymGetSymFromAddr(HANDLE process, DWORD address, PDWORD displacement, PIMAGEHLP_SYMBOL symbol);
BOOL SymGetSymFromAddr64(HANDLE process, DWORD64 address, PDWORD64 displacement, PIMAGEHLP_SYMBOL64 symbol);
DWORD UnDecorateSymbolName(PCSTR name, PSTR undecorated, DWORD length, DWORD flags);

#endif
