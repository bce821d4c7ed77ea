#ifndef THREADSIFT_ADDRESS_WIDTH_H
#define THREADSIFT_ADDRESS_WIDTH_H

#include <windows.h>
#include <imagehlp.h>

#include "common/PlatformRecord.h"

// Where 32-bit and 64-bit Windows differ for the stack walk and the module
// table: the image help records (the address width and format are shared
// with the lock tool).
#if defined(_WIN64)
typedef STACKFRAME64 WalkFrame;
typedef IMAGEHLP_SYMBOL64 WalkSymbol;
typedef IMAGEHLP_LINE64 WalkLine;
typedef DWORD64 SymbolDisplacement;
typedef BOOL(WINAPI* LineLookup)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
#define THREADSIFT_LINE_LOOKUP_NAME "SymGetLineFromAddr64"
#else
typedef STACKFRAME WalkFrame;
typedef IMAGEHLP_SYMBOL WalkSymbol;
typedef IMAGEHLP_LINE WalkLine;
typedef DWORD SymbolDisplacement;
typedef BOOL(WINAPI* LineLookup)(HANDLE, DWORD, PDWORD, PIMAGEHLP_LINE);
#define THREADSIFT_LINE_LOOKUP_NAME "SymGetLineFromAddr"
#endif

#endif
