#include <windows.h>
#include <imagehlp.h>

#include <map>
#include <string>

#include "common/ImageHeader.h"
#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/modules/SymbolSession.h"

namespace {

// The time stamp follows the file header's signature after 8 bytes.
const DWORD kSignatureToTimeStamp = 8;

typedef std::map<Address, SharedModule> SharedModules;

// Forgets the frame names of the module registered at base.
void ForgetFrameNames(SymbolSession* session, Address base) {
  std::map<Address, std::map<Address, FrameName>>::iterator held = session->frameNames.find(base);
  if (held == session->frameNames.end()) return;
  session->frameNameCount -= held->second.size();
  session->frameNames.erase(held);
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
    ForgetFrameNames(session, it->first);
    it = modules.erase(it);
  }
}

Address RegisterShared(HANDLE process, SymbolSession* session, const char* path, const char* name, Address base,
                       DWORD size) {
  SharedModule wanted = {base + size - 1, path, size, 0, false, std::string()};
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
  return size != 0 && ReadFileHeaderField(process, base, size, kSignatureToTimeStamp, timeStamp, sizeof(*timeStamp));
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
  session->frameNames.clear();
  session->frameNameCount = 0;
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
  ForgetFrameNames(session, base);
  if (!session->shared) {
    UnregisterModule(session->key, base);
    return;
  }
  SharedModules::iterator held = session->modules.find(base);
  if (held == session->modules.end()) return;
  UnregisterModule(session->key, base);
  session->modules.erase(held);
}

const std::string* KeptVersionLabel(const ExaminedProcess& process, Address base) {
  const SymbolSession* session = process.symbols;
  if (!session->shared) return NULL;
  SharedModules::const_iterator held = session->modules.find(base);
  if (held == session->modules.end() || !held->second.stamped || held->second.versionLabel.empty()) return NULL;
  return &held->second.versionLabel;
}

void KeepVersionLabel(ExaminedProcess& process, Address base, const std::string& label) {
  SymbolSession* session = process.symbols;
  if (!session->shared) return;
  SharedModules::iterator held = session->modules.find(base);
  if (held != session->modules.end() && held->second.stamped) held->second.versionLabel = label;
}

const FrameName* KnownFrameName(const ExaminedProcess& process, Address base, Address offset) {
  const SymbolSession* session = process.symbols;
  std::map<Address, std::map<Address, FrameName>>::const_iterator module = session->frameNames.find(base);
  if (module == session->frameNames.end()) return NULL;
  std::map<Address, FrameName>::const_iterator known = module->second.find(offset);
  return known != module->second.end() ? &known->second : NULL;
}

void KeepFrameName(ExaminedProcess& process, Address base, Address offset, const FrameName& name) {
  SymbolSession* session = process.symbols;
  if (session->frameNameCount >= kMaxFrameNames) return;
  if (session->frameNames[base].insert(std::make_pair(offset, name)).second) ++session->frameNameCount;
}

bool SymbolsServe(const ExaminedProcess& process, Address address) {
  return !process.symbols->shared || FindModule(process.modules, address) >= 0;
}
