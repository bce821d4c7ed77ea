#ifndef THREADSIFT_BITNESS_H
#define THREADSIFT_BITNESS_H

#include <windows.h>
#include <imagehlp.h>

#include <cstring>
#include <string>

#include "common/PlatformRecord.h"

// Everything in which walking a 32-bit and a 64-bit process differs: the
// image help library's records and routines (the tool's own width), and,
// chosen for each process by its width, the machine and register set of the
// walk, the environment block's layout and the module listing's columns.
// Nothing else of the tool asks which width it is built for or which width
// the process in hand has.
#if defined(_WIN64)
typedef STACKFRAME64 WalkFrame;
typedef IMAGEHLP_SYMBOL64 WalkSymbol;
typedef IMAGEHLP_LINE64 WalkLine;
typedef DWORD64 SymbolDisplacement;
typedef BOOL(WINAPI* LineLookup)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
typedef PREAD_PROCESS_MEMORY_ROUTINE64 WalkMemoryReader;
typedef PFUNCTION_TABLE_ACCESS_ROUTINE64 WalkTableAccess;
typedef PGET_MODULE_BASE_ROUTINE64 WalkModuleBase;
#define THREADSIFT_LINE_LOOKUP_NAME "SymGetLineFromAddr64"

const DWORD kToolMachine = IMAGE_FILE_MACHINE_AMD64;
const DWORD kToolContextFlags = CONTEXT_FULL;

inline BOOL StepFrame(DWORD machine, HANDLE process, HANDLE thread, WalkFrame* frame, void* context,
                      WalkMemoryReader read, WalkTableAccess tableAccess, WalkModuleBase moduleBase) {
  return StackWalk64(machine, process, thread, frame, context, read, tableAccess, moduleBase, NULL);
}

inline WalkTableAccess PlatformTableAccess() { return SymFunctionTableAccess64; }
inline WalkModuleBase PlatformModuleBase() { return SymGetModuleBase64; }

inline BOOL GetSymbolAt(HANDLE process, Address pc, SymbolDisplacement* displacement, WalkSymbol* symbol) {
  return SymGetSymFromAddr64(process, pc, displacement, symbol);
}

inline Address RegisterModule(HANDLE process, const char* path, const char* name, Address base, DWORD size) {
  return SymLoadModule64(process, NULL, path, name, base, size);
}

inline BOOL UnregisterModule(HANDLE process, Address base) { return SymUnloadModule64(process, base); }
#else
typedef STACKFRAME WalkFrame;
typedef IMAGEHLP_SYMBOL WalkSymbol;
typedef IMAGEHLP_LINE WalkLine;
typedef DWORD SymbolDisplacement;
typedef BOOL(WINAPI* LineLookup)(HANDLE, DWORD, PDWORD, PIMAGEHLP_LINE);
typedef PREAD_PROCESS_MEMORY_ROUTINE WalkMemoryReader;
typedef PFUNCTION_TABLE_ACCESS_ROUTINE WalkTableAccess;
typedef PGET_MODULE_BASE_ROUTINE WalkModuleBase;
#define THREADSIFT_LINE_LOOKUP_NAME "SymGetLineFromAddr"

const DWORD kToolMachine = IMAGE_FILE_MACHINE_I386;
const DWORD kToolContextFlags = 0x10007;  // i386 control, integer and segment registers

inline BOOL StepFrame(DWORD machine, HANDLE process, HANDLE thread, WalkFrame* frame, void* context,
                      WalkMemoryReader read, WalkTableAccess tableAccess, WalkModuleBase moduleBase) {
  return StackWalk(machine, process, thread, frame, context, read, tableAccess, moduleBase, NULL);
}

inline WalkTableAccess PlatformTableAccess() { return SymFunctionTableAccess; }
inline WalkModuleBase PlatformModuleBase() { return SymGetModuleBase; }

inline BOOL GetSymbolAt(HANDLE process, Address pc, SymbolDisplacement* displacement, WalkSymbol* symbol) {
  return SymGetSymFromAddr(process, pc, displacement, symbol);
}

inline Address RegisterModule(HANDLE process, const char* path, const char* name, Address base, DWORD size) {
  return SymLoadModule(process, NULL, path, name, base, size);
}

inline BOOL UnregisterModule(HANDLE process, Address base) { return SymUnloadModule(process, base); }
#endif

// The width of a process's addresses.
enum ProcessWidth { Width32, Width64 };

// The tool's own width: that of every process the 32-bit build examines,
// and of most the 64-bit build does.
const ProcessWidth kToolWidth = sizeof(void*) == 8 ? Width64 : Width32;

// The bytes of a pointer, a handle or a stack word of a process of width.
inline size_t WordSizeOf(ProcessWidth width) { return width == Width64 ? 8 : 4; }

// A thread of a 32-bit process on 64-bit Windows has a 32-bit environment
// block this far after the 64-bit one the native layer names.
const Address kEnvironmentBlock32Offset = 0x2000;

// The registers a walk starts from, read in the width of the thread's
// process: a thread of a 32-bit process seen from the 64-bit build has its
// 32-bit registers in a record of their own.
struct WalkContext {
  ProcessWidth width = kToolWidth;
  CONTEXT native;
#if defined(_WIN64)
  WOW64_CONTEXT wow64;
#endif
};

// Reads the registers of a suspended thread of a process of width; false,
// with the last error, when they cannot be read.
bool ReadWalkContext(HANDLE thread, ProcessWidth width, WalkContext* context);

// True when a and b hold the same registers, in the same width.
bool SameRegisters(const WalkContext& a, const WalkContext& b);

Address ProgramCounterOf(const WalkContext& context);
Address FramePointerOf(const WalkContext& context);
Address StackPointerOf(const WalkContext& context);

// Where a 64-bit thread held in the platform's wait for several handles
// (Wine's, which copies them into its own frame) keeps the count it was
// given and the address of the program's array: two registers that the
// routines beneath it keep unchanged. False for a 32-bit thread's registers.
bool WaitRegistersOf(const WalkContext& context, Address* count, Address* array);

// Registers a 64-bit routine keeps across the calls it makes, read as the
// thread was held; false for a 32-bit thread's registers.
enum KeptRegister { KeptRdi, KeptRsi };
bool KeptRegisterOf(const WalkContext& context, KeptRegister which, Address* value);

// The platform's call that reads the registers of a thread of a process of
// width, as its failure line names it.
const char* ContextCallOf(ProcessWidth width);

// The machine a process of width is walked as, and the record of registers
// the platform's walk steps through.
DWORD WalkMachineOf(ProcessWidth width);
void* WalkRecordOf(WalkContext* context);

// The folder of the 32-bit system files of 64-bit Windows, as
// GetSystemDirectory gives the system folder; 0 in the 32-bit build.
UINT GetSystem32BitFolder(char* folder, UINT size);

// An address (or a displacement or offset) as zero-padded hexadecimal
// digits as wide as the addresses of a process of width.
std::string AddressDigits(Address value, ProcessWidth width);

// The module listing's header and rule for a process of width.
const char* ModuleListingHeader(ProcessWidth width);
const char* ModuleListingRule(ProcessWidth width);

// The walk's first frame: where the thread's registers stand.
inline void SetStartOfWalk(const WalkContext& context, WalkFrame* frame) {
  memset(frame, 0, sizeof(*frame));
  frame->AddrPC.Offset = ProgramCounterOf(context);
  frame->AddrFrame.Offset = FramePointerOf(context);
  frame->AddrStack.Offset = StackPointerOf(context);
  frame->AddrPC.Mode = AddrModeFlat;
  frame->AddrFrame.Mode = AddrModeFlat;
  frame->AddrStack.Mode = AddrModeFlat;
}

#endif
