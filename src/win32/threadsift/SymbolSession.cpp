#include <windows.h>
#include <imagehlp.h>

#include <map>
#include <string>

#include "threadsift/ModuleTable.h"
#include "threadsift/SymbolSession.h"

namespace {

// The file header's place in an image: the offset of the signature is kept
// at 0x3C, and the time stamp follows the signature after 8 bytes.
const Address kNewHeaderOffsetAt = 0x3C;
const DWORD kSignatureToTimeStamp = 8;
const DWORD kPeSignature = 0x00004550;  // "PE\0\0"

// What tells one module file from another: the same path may hold another
// build later, or another process may have the file at another base.
struct SharedModule {
  Address end;  // last address, inclusive
  std::string path;
  DWORD size;
  DWORD timeStamp;
  bool stamped;  // false when the time stamp could not be read: never shared
};

// The shared session is known to the image help library by this unique
// value, which is no handle of any object.
char g_sharedSessionTag;
bool g_shared = false;
std::map<Address, SharedModule> g_sharedModules;  // by base; none overlap

HANDLE SharedSession() { return (HANDLE)&g_sharedSessionTag; }

bool ReadWord(HANDLE process, Address at, DWORD* word) {
  SIZE_T got = 0;
  return ReadProcessMemory(process, (LPCVOID)(UINT_PTR)at, word, sizeof(*word), &got) && got == sizeof(*word);
}

// Reads the time stamp of the image mapped at base, from its file header.
bool ReadImageTimeStamp(HANDLE process, Address base, DWORD size, DWORD* timeStamp) {
  DWORD header = 0;
  DWORD signature = 0;
  if (!ReadWord(process, base + kNewHeaderOffsetAt, &header)) return false;
  if (header >= size || size - header < kSignatureToTimeStamp + sizeof(DWORD)) return false;
  if (!ReadWord(process, base + header, &signature) || signature != kPeSignature) return false;
  return ReadWord(process, base + header + kSignatureToTimeStamp, timeStamp);
}

bool SameFile(const SharedModule& held, const SharedModule& wanted) {
  return held.stamped && wanted.stamped && held.size == wanted.size && held.timeStamp == wanted.timeStamp &&
         held.path == wanted.path;
}

// Unloads every module of the shared session that lies over [base, end]:
// the session's modules never overlap, so those are the one that starts
// below base and reaches it, and those that start within.
void UnloadModulesOver(Address base, Address end) {
  std::map<Address, SharedModule>::iterator it = g_sharedModules.upper_bound(base);
  if (it != g_sharedModules.begin()) {
    std::map<Address, SharedModule>::iterator below = it;
    --below;
    if (below->second.end >= base) it = below;
  }
  while (it != g_sharedModules.end() && it->first <= end) {
    UnregisterModule(SharedSession(), it->first);
    it = g_sharedModules.erase(it);
  }
}

Address RegisterShared(HANDLE process, const char* path, const char* name, Address base, DWORD size) {
  SharedModule wanted = {base + size - 1, path, size, 0, false};
  wanted.stamped = ReadImageTimeStamp(process, base, size, &wanted.timeStamp);
  std::map<Address, SharedModule>::const_iterator held = g_sharedModules.find(base);
  if (held != g_sharedModules.end() && SameFile(held->second, wanted)) return base;
  UnloadModulesOver(base, wanted.end);
  Address registered = RegisterModule(SharedSession(), path, name, base, size);
  if (registered != 0) g_sharedModules[base] = wanted;
  return registered;
}

PVOID CALLBACK TableAccessInProcess(HANDLE session, Address address) {
  return SymbolsServe(address) ? PlatformTableAccess()(session, address) : NULL;
}

Address CALLBACK ModuleBaseInProcess(HANDLE session, Address address) {
  return SymbolsServe(address) ? PlatformModuleBase()(session, address) : 0;
}

}  // namespace

bool OpenSharedSymbols() {
  g_shared = SymInitialize(SharedSession(), NULL, FALSE) != FALSE;
  return g_shared;
}

void CloseSharedSymbols() {
  if (!g_shared) return;
  // Nothing of the sweep's report depends on the end of the session.
  SymCleanup(SharedSession());
  g_shared = false;
  g_sharedModules.clear();
}

bool StartSymbols(HANDLE process) { return g_shared || SymInitialize(process, NULL, FALSE) != FALSE; }

bool EndSymbols(HANDLE process) { return g_shared || SymCleanup(process) != FALSE; }

HANDLE SymbolsOf(HANDLE process) { return g_shared ? SharedSession() : process; }

Address RegisterModuleSymbols(HANDLE process, const char* path, const char* name, Address base, DWORD size) {
  if (!g_shared) return RegisterModule(process, path, name, base, size);
  return RegisterShared(process, path, name, base, size);
}

bool SymbolsServe(Address address) { return !g_shared || FindModuleBaseName(address) != NULL; }

WalkTableAccess TableAccessRoutine() { return g_shared ? TableAccessInProcess : PlatformTableAccess(); }

WalkModuleBase ModuleBaseRoutine() { return g_shared ? ModuleBaseInProcess : PlatformModuleBase(); }
