#ifndef THREADSIFT_SYMBOL_SESSION_H
#define THREADSIFT_SYMBOL_SESSION_H

#include <windows.h>

#include <map>
#include <string>

#include "threadsift/base/Bitness.h"

struct ExaminedProcess;

// Where the image help library keeps the symbols of the process in hand:
// a session of the process's own, or, in a sweep, one session shared by
// every process, so that a module's symbol file is read and parsed once
// however many processes load it. The shared session holds each module at
// its base in the process in hand; a module another process had at the
// same addresses (another file there, or the same file moved) is unloaded
// and the process's own registered in its place.

// What tells one module file from another: the same path may hold another
// build later, or another process may have the file at another base.
struct SharedModule {
  Address end;  // last address, inclusive
  std::string path;
  DWORD size;
  DWORD timeStamp;
  bool stamped;  // false when the time stamp could not be read: never shared
  std::string versionLabel;  // the file's version label once read, empty until then
};

// What naming the frame at an offset of a module found: its symbol,
// undecorated, with the displacement, and its source line; or that no
// symbol holds it, or the undecoration's failure.
struct FrameName {
  bool symbol = false;
  std::string symbolName;  // as the symbol file gives it
  bool undecorated = false;
  DWORD undecorateError = 0;
  std::string name;
  SymbolDisplacement displacement = 0;
  bool line = false;
  std::string file;
  unsigned lineNumber = 0;
};

// No session keeps more frame names than this: a run of many processes
// names the rest anew.
const size_t kMaxFrameNames = 16384;

struct SymbolSession {
  HANDLE key = NULL;  // what the image help library knows it by; null until open
  bool shared = false;
  std::map<Address, SharedModule> modules;  // the shared session's, by base; none overlap
  // The names of frames found, by the base of the module registered there
  // and the offset in it, while that module stays registered.
  std::map<Address, std::map<Address, FrameName>> frameNames;
  size_t frameNameCount = 0;
};

// Opens a session of process's own, known by its handle. False, with the
// last error, when it cannot start.
bool OpenOwnSymbols(HANDLE process, SymbolSession* session);

// Opens the session a sweep shares, known by a unique value that is no
// handle of any object (the session's own address). False when it cannot
// be opened: each process then gets a session of its own, as outside a
// sweep.
bool OpenSharedSymbols(SymbolSession* session);

// True when the session is open.
bool IsOpen(const SymbolSession& session);

// Ends the session, if it is open. False, with the last error, when it did
// not end cleanly.
bool CloseSymbols(SymbolSession* session);

// Registers a module of the process with its symbols in the process's
// session; in the shared session only when the session does not hold the
// same file (path, size and time stamp) at the same base already. The base
// registered, or 0 with the last error.
Address RegisterModuleSymbols(ExaminedProcess& process, const char* path, const char* name, Address base,
                              DWORD size);

// Unregisters a module of the process that is gone (unloaded, or replaced
// by another at its addresses), so that its symbols no longer name them.
void UnregisterModuleSymbols(ExaminedProcess& process, Address base);

// Reads the time stamp of the image mapped at base in process, from its
// file header; false when it cannot be read.
bool ReadImageTimeStamp(HANDLE process, Address base, DWORD size, DWORD* timeStamp);

// The version label the shared session keeps for the file the process in
// hand has just registered at base (the same file another process listed
// before: path, size and time stamp); null when it keeps none.
const std::string* KeptVersionLabel(const ExaminedProcess& process, Address base);

// Keeps the version label of the file the process in hand has registered
// at base in the shared session, for the next process that lists it.
void KeepVersionLabel(ExaminedProcess& process, Address base, const std::string& label);

// The name the session keeps for the frame at offset of the module the
// process in hand has registered at base; null when it keeps none.
const FrameName* KnownFrameName(const ExaminedProcess& process, Address base, Address offset);

// Keeps the name of the frame at offset of the module registered at base,
// until that module is unregistered (or the session holds its most).
void KeepFrameName(ExaminedProcess& process, Address base, Address offset, const FrameName& name);

// False when a symbol or line looked up at address could come from another
// process's module (the shared session keeps those): address lies outside
// every module of the process.
bool SymbolsServe(const ExaminedProcess& process, Address address);

#endif
