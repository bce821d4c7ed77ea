#include <windows.h>
#include <imagehlp.h>

#include <map>
#include <string>

#include "threadsift/ExaminedProcess.h"
#include "threadsift/SymbolSession.h"

namespace {

// The file header's place in an image: the offset of the signature is kept
// at 0x3C, and the time stamp follows the signature after 8 bytes.
const Address kNewHeaderOffsetAt = 0x3C;
const DWORD kSignatureToTimeStamp = 8;
const DWORD kPeSignature = 0x00004550;  // "PE\0\0"

typedef std::map<Address, SharedModule> SharedModules;

bool ReadWord(HANDLE process, Address at, DWORD* word) {
  SIZE_T got = 0;
  return ReadProcessMemory(process, (LPCVOID)(UINT_PTR)at, word, sizeof(*word), &got) && got == sizeof(*word);
}

bool SameFile(const SharedModule& held, const SharedModule& wanted) {
  return held.stamped && wanted.stamped && held.size == wanted.size && held.timeStamp == wanted.timeStamp &&
         held.path == wanted.path;
}

// Unloads every module of the shared session that lies over [base, end]:
// the session's modules never overlap, so those are the one that starts
// below base and reaches it, and those that start within.
void UnloadModulesOver(SymbolSession* session, Address base, Address end) {
  SharedModules& modules = session->modules;
  SharedModules::iterator it = modules.upper_bound(base);
  if (it != modules.begin()) {
    SharedModules::iterator below = it;
    --below;
    if (below->second.end >= base) it = below;
  }
  while (it != modules.end() && it->first <= end) {
    UnregisterModule(session->key, it->first);
    it = modules.erase(it);
  }
}

Address RegisterShared(HANDLE process, SymbolSession* session, const char* path, const char* name, Address base,
                       DWORD size) {
  SharedModule wanted = {base + size - 1, path, size, 0, false};
  wanted.stamped = ReadImageTimeStamp(process, base, size, &wanted.timeStamp);
  SharedModules::const_iterator held = session->modules.find(base);
  if (held != session->modules.end() && SameFile(held->second, wanted)) return base;
  UnloadModulesOver(session, base, wanted.end);
  Address registered = RegisterModule(session->key, path, name, base, size);
  if (registered != 0) session->modules[base] = wanted;
  return registered;
}

}  // namespace

bool ReadImageTimeStamp(HANDLE process, Address base, DWORD size, DWORD* timeStamp) {
  DWORD header = 0;
  DWORD signature = 0;
  if (!ReadWord(process, base + kNewHeaderOffsetAt, &header)) return false;
  if (header >= size || size - header < kSignatureToTimeStamp + sizeof(DWORD)) return false;
  if (!ReadWord(process, base + header, &signature) || signature != kPeSignature) return false;
  return ReadWord(process, base + header + kSignatureToTimeStamp, timeStamp);
}

bool OpenOwnSymbols(HANDLE process, SymbolSession* session) {
  if (!SymInitialize(process, NULL, FALSE)) return false;
  session->key = process;
  session->shared = false;
  return true;
}

bool OpenSharedSymbols(SymbolSession* session) {
  if (!SymInitialize((HANDLE)session, NULL, FALSE)) return false;
  session->key = (HANDLE)session;
  session->shared = true;
  return true;
}

bool IsOpen(const SymbolSession& session) { return session.key != NULL; }

bool CloseSymbols(SymbolSession* session) {
  if (!IsOpen(*session)) return true;
  bool cleaned = SymCleanup(session->key) != FALSE;
  session->key = NULL;
  session->modules.clear();
  return cleaned;
}

Address RegisterModuleSymbols(ExaminedProcess& process, const char* path, const char* name, Address base,
                              DWORD size) {
  SymbolSession* session = process.symbols;
  if (!session->shared) return RegisterModule(session->key, path, name, base, size);
  return RegisterShared(process.handle, session, path, name, base, size);
}

void UnregisterModuleSymbols(ExaminedProcess& process, Address base) {
  SymbolSession* session = process.symbols;
  if (!session->shared) {
    UnregisterModule(session->key, base);
    return;
  }
  SharedModules::iterator held = session->modules.find(base);
  if (held == session->modules.end()) return;
  UnregisterModule(session->key, base);
  session->modules.erase(held);
}

bool SymbolsServe(const ExaminedProcess& process, Address address) {
  return !process.symbols->shared || FindModule(process.modules, address) >= 0;
}
