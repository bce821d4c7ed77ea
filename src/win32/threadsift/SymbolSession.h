#ifndef THREADSIFT_SYMBOL_SESSION_H
#define THREADSIFT_SYMBOL_SESSION_H

#include <windows.h>

#include "threadsift/Bitness.h"

// Where the image help library keeps the symbols of the process in hand:
// a session of the process's own, or, in a sweep, one session shared by
// every process, so that a module's symbol file is read and parsed once
// however many processes load it. The shared session holds each module at
// its base in the process in hand; a module another process had at the
// same addresses (another file there, or the same file moved) is unloaded
// and the process's own registered in its place.

// Opens the session a sweep shares. False when it cannot be opened: each
// process then gets a session of its own, as outside a sweep.
bool OpenSharedSymbols();

// Ends the shared session, if one is open.
void CloseSharedSymbols();

// Starts the symbols of process: a session of its own, unless the shared
// one is open. False, with the last error, when the session cannot start.
bool StartSymbols(HANDLE process);

// Ends the symbols of process: its own session ends, the shared one stays.
// False, with the last error, when its own session did not end cleanly.
bool EndSymbols(HANDLE process);

// The handle the image help library knows the symbols of process by.
HANDLE SymbolsOf(HANDLE process);

// Registers a module of process with its symbols; in the shared session
// only when the session does not hold the same file (path, size and time
// stamp) at the same base already. The base registered, or 0 with the last
// error.
Address RegisterModuleSymbols(HANDLE process, const char* path, const char* name, Address base, DWORD size);

// False when a symbol or line looked up at address could come from another
// process's module (the shared session keeps those): address lies outside
// every module of the process in hand.
bool SymbolsServe(Address address);

// The walk's routines that find a frame's unwind data and its module: the
// image help library's own, or, with the shared session, the same limited
// to the modules of the process in hand.
WalkTableAccess TableAccessRoutine();
WalkModuleBase ModuleBaseRoutine();

#endif
