#ifndef THREADSIFT_SYM_ADDRESS_WIDTH_H
#define THREADSIFT_SYM_ADDRESS_WIDTH_H

#include <windows.h>
#include <imagehlp.h>

// Where 32-bit and 64-bit Windows differ for the stack walk and the module
// table: address width, printed address format and the image help records.
#if defined(_WIN64)
typedef DWORD64 Address;
typedef unsigned long long PrintedAddress;
#define THREADSIFT_ADDRESS "%016llx"
typedef STACKFRAME64 WalkFrame;
typedef IMAGEHLP_SYMBOL64 WalkSymbol;
typedef IMAGEHLP_LINE64 WalkLine;
typedef DWORD64 SymbolDisplacement;
typedef BOOL(WINAPI* LineLookup)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
#define THREADSIFT_LINE_LOOKUP_NAME "SymGetLineFromAddr64"
#else
typedef DWORD Address;
typedef unsigned int PrintedAddress;
#define THREADSIFT_ADDRESS "%08x"
typedef STACKFRAME WalkFrame;
typedef IMAGEHLP_SYMBOL WalkSymbol;
typedef IMAGEHLP_LINE WalkLine;
typedef DWORD SymbolDisplacement;
typedef BOOL(WINAPI* LineLookup)(HANDLE, DWORD, PDWORD, PIMAGEHLP_LINE);
#define THREADSIFT_LINE_LOOKUP_NAME "SymGetLineFromAddr"
#endif

#endif
