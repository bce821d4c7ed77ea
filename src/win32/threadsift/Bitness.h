#ifndef THREADSIFT_BITNESS_H
#define THREADSIFT_BITNESS_H

#include <windows.h>
#include <imagehlp.h>

#include <cstring>

#include "common/PlatformRecord.h"

// Everything in which walking a 32-bit and a 64-bit process differs: the
// image help library's records and routines, the machine and register set
// of the walk, and the module listing's columns. Nothing else of the tool
// asks which width it is built for, so a walk of a process of the other
// width changes these adapters, not the code that calls them.
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

const DWORD kWalkMachine = IMAGE_FILE_MACHINE_AMD64;
const DWORD kWalkContextFlags = CONTEXT_FULL;
const char kModuleListingHeader[] = "    Base                End                 Size        Version         Path\n";
const char kModuleListingRule[] =
    "==============================================================================================\n";

inline Address ProgramCounterOf(const CONTEXT& context) { return context.Rip; }
inline Address FramePointerOf(const CONTEXT& context) { return context.Rbp; }
inline Address StackPointerOf(const CONTEXT& context) { return context.Rsp; }

inline BOOL StepFrame(HANDLE process, HANDLE thread, WalkFrame* frame, CONTEXT* context, WalkMemoryReader read,
                      WalkTableAccess tableAccess, WalkModuleBase moduleBase) {
  return StackWalk64(kWalkMachine, process, thread, frame, context, read, tableAccess, moduleBase, NULL);
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

const DWORD kWalkMachine = IMAGE_FILE_MACHINE_I386;
const DWORD kWalkContextFlags = 0x10007;  // i386 control, integer and segment registers
const char kModuleListingHeader[] = "    Base        End         Size        Version         Path\n";
const char kModuleListingRule[] = "==============================================================================\n";

inline Address ProgramCounterOf(const CONTEXT& context) { return context.Eip; }
inline Address FramePointerOf(const CONTEXT& context) { return context.Ebp; }
inline Address StackPointerOf(const CONTEXT& context) { return context.Esp; }

inline BOOL StepFrame(HANDLE process, HANDLE thread, WalkFrame* frame, CONTEXT* context, WalkMemoryReader read,
                      WalkTableAccess tableAccess, WalkModuleBase moduleBase) {
  return StackWalk(kWalkMachine, process, thread, frame, context, read, tableAccess, moduleBase, NULL);
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

// The tool's own width, which is that of every process it examines.
const ProcessWidth kToolWidth = sizeof(void*) == 8 ? Width64 : Width32;

// The walk's first frame: where the thread's registers stand.
inline void SetStartOfWalk(const CONTEXT& context, WalkFrame* frame) {
  memset(frame, 0, sizeof(*frame));
  frame->AddrPC.Offset = ProgramCounterOf(context);
  frame->AddrFrame.Offset = FramePointerOf(context);
  frame->AddrStack.Offset = StackPointerOf(context);
  frame->AddrPC.Mode = AddrModeFlat;
  frame->AddrFrame.Mode = AddrModeFlat;
  frame->AddrStack.Mode = AddrModeFlat;
}

#endif
