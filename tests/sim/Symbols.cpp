// The simulated symbol handler: modules registered per session, symbols with
// decorated and undecorated names, and source lines.
#include <algorithm>
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"

using namespace sim;

namespace {

// Copies text into a buffer of capacity characters plus its terminator; a
// machine that cuts names unterminated writes no terminator after a name cut
// to capacity.
void CopyTruncated(const std::string& text, char* out, size_t capacity) {
  size_t n = std::min(text.size(), capacity);
  std::memcpy(out, text.data(), n);
  if (n < text.size() && ActiveMachine().cutNamesUnterminated) return;
  out[n] = '\0';
}

template <typename Address, typename Displacement, typename SymbolRecord>
BOOL LookUpSymbol(const char* op, HANDLE process, Address address, Displacement* displacement, SymbolRecord* symbol) {
  Machine& m = ActiveMachine();
  std::string args = Args("0x%llx,%u,%u", (unsigned long long)address, symbol->SizeOfStruct, symbol->MaxNameLength);
  if (const FailRule* f = m.Enter(op, address, args)) return FailWith(f, FALSE);
  if (symbol->SizeOfStruct != sizeof(SymbolRecord)) m.NoteMisuse(std::string(op) + " with a wrong SizeOfStruct");
  const Symbol* found = m.SymbolAt(process, address);
  if (found == nullptr) return FailWithError(ERROR_INVALID_ADDRESS, FALSE);
  symbol->Address = (Address)found->address;
  symbol->Size = (DWORD)found->size;
  CopyTruncated(found->decorated, symbol->Name, symbol->MaxNameLength);
  *displacement = (Displacement)(address - found->address);
  return TRUE;
}

template <typename Address, typename LineRecord>
BOOL LookUpLine(const char* op, HANDLE process, Address address, PDWORD displacement, LineRecord* line) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter(op, address, Args("0x%llx,%u", (unsigned long long)address, line->SizeOfStruct))) {
    return FailWith(f, FALSE);
  }
  bool cleared = line->Key == nullptr && line->LineNumber == 0 && line->FileName == nullptr && line->Address == 0;
  if (line->SizeOfStruct != sizeof(LineRecord) || !cleared)
    m.NoteMisuse(std::string(op) + " with an unprepared record");
  const Symbol* symbol = m.SymbolAt(process, address);
  const SourceLine* best = nullptr;
  if (symbol != nullptr) {
    for (const SourceLine& l : symbol->lines) {
      if (l.address <= address && (best == nullptr || l.address > best->address)) best = &l;
    }
  }
  if (best == nullptr) return FailWithError(ERROR_INVALID_ADDRESS, FALSE);
  line->LineNumber = best->number;
  line->FileName = const_cast<char*>(best->file.c_str());
  line->Address = (Address)best->address;
  *displacement = (DWORD)(address - best->address);
  return TRUE;
}

// The module whose file a session loads for image at base: for a process's
// session, the process's module there; for another, the module there of the
// process last opened (whose files are the ones on disk), else of any.
const Module* FileAt(HANDLE session, PCSTR image, uint64_t base) {
  Machine& m = ActiveMachine();
  std::string path = image != nullptr ? image : "";
  Process* own = m.ProcessOfHandle(session);
  if (own != nullptr) return own->ModuleAt(base);
  const Module* found = nullptr;
  for (const Process& p : m.processes) {
    for (const Module& module : p.modules) {
      if (module.base != base || (module.path != path && module.file != path)) continue;
      if (p.id == m.lastOpenedPid) return &module;
      if (found == nullptr) found = &module;
    }
  }
  return found;
}

template <typename Address>
Address LoadModule(const char* op, HANDLE process, HANDLE file, PCSTR image, PCSTR module, Address base, DWORD size) {
  Machine& m = ActiveMachine();
  std::string args = Text(file == nullptr ? "null" : "file") + "," + Text(image) + "," + Text(module) +
                     Args(",0x%llx,0x%x", (unsigned long long)base, size);
  if (const FailRule* f = m.Enter(op, base, args)) return FailWith(f, (Address)0);
  auto session = m.symbolSessions.find(process);
  if (session == m.symbolSessions.end()) return FailWithError(ERROR_INVALID_HANDLE, (Address)0);
  const Module* loaded = FileAt(process, image, base);
  if (loaded != nullptr && !loaded->file.empty() && Text(image) != loaded->file) {
    m.NoteMisuse(std::string(op) + " given " + Text(image) + " for a module whose file is " + loaded->file);
  }
  // The 64-bit library passes a 32-bit module over unless asked to load those.
  const DWORD kInclude32BitModules = 0x2000;
  const Module* module32 = loaded != nullptr ? loaded : nullptr;
  for (const Process& p : m.processes) {
    for (const Module& candidate : p.modules) {
      if (&candidate == module32 && p.bits == 32 && !(m.symbolOptions & kInclude32BitModules)) {
        return FailWithError(ERROR_NOACCESS, (Address)0);
      }
    }
  }
  std::map<uint64_t, SessionModule>& held = session->second.modules;
  // A session keeps the module it holds at a base: the file there has to be
  // unloaded before another takes its place.
  if (held.count(base) != 0) return base != 0 ? base : 1;
  held[base] = SessionModule{size, loaded};
  const DWORD kDeferredLoads = 0x4;
  if (m.symbolOptions & kDeferredLoads) {
    m.deferredSymbolLoads[process].insert(base);
  } else if (loaded != nullptr) {
    m.ParseSymbolFile(*loaded);
  }
  return base != 0 ? base : 1;
}

template <typename Address>
BOOL UnloadModule(const char* op, HANDLE process, Address base) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter(op, base, Args("0x%llx", (unsigned long long)base))) return FailWith(f, FALSE);
  auto session = m.symbolSessions.find(process);
  if (session == m.symbolSessions.end()) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  if (session->second.modules.erase(base) == 0) return FailWithError(ERROR_MOD_NOT_FOUND, FALSE);
  m.deferredSymbolLoads[process].erase(base);
  return TRUE;
}

}  // namespace

namespace sim {

BOOL SimSymGetLineFromAddr(HANDLE process, DWORD address, PDWORD displacement, PIMAGEHLP_LINE line) {
  return LookUpLine("SymGetLineFromAddr", process, address, displacement, line);
}

BOOL SimSymGetLineFromAddr64(HANDLE process, DWORD64 address, PDWORD displacement, PIMAGEHLP_LINE64 line) {
  return LookUpLine("SymGetLineFromAddr64", process, address, displacement, line);
}

}  // namespace sim

DWORD SymLoadModule(HANDLE process, HANDLE file, PCSTR image, PCSTR module, DWORD base, DWORD size) {
  return LoadModule("SymLoadModule", process, file, image, module, base, size);
}

DWORD64 SymLoadModule64(HANDLE process, HANDLE file, PCSTR image, PCSTR module, DWORD64 base, DWORD size) {
  return LoadModule("SymLoadModule64", process, file, image, module, base, size);
}

BOOL SymUnloadModule(HANDLE process, DWORD base) { return UnloadModule("SymUnloadModule", process, base); }

BOOL SymUnloadModule64(HANDLE process, DWORD64 base) { return UnloadModule("SymUnloadModule64", process, base); }

BOOL SymGetSymFromAddr(HANDLE process, DWORD address, PDWORD displacement, PIMAGEHLP_SYMBOL symbol) {
  return LookUpSymbol("SymGetSymFromAddr", process, address, displacement, symbol);
}

BOOL SymGetSymFromAddr64(HANDLE process, DWORD64 address, PDWORD64 displacement, PIMAGEHLP_SYMBOL64 symbol) {
  return LookUpSymbol("SymGetSymFromAddr64", process, address, displacement, symbol);
}

DWORD UnDecorateSymbolName(PCSTR name, PSTR undecorated, DWORD length, DWORD flags) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("UnDecorateSymbolName", 0, Args("%u,%u", length, flags)))
    return FailWith(f, (DWORD)0);
  const Symbol* symbol = m.SymbolNamed(name);
  std::string text = symbol != nullptr ? symbol->undecorated : name;
  if (symbol != nullptr && (flags & UNDNAME_NAME_ONLY) != 0 && !symbol->nameOnly.empty()) text = symbol->nameOnly;
  if (length == 0) return FailWithError(ERROR_INSUFFICIENT_BUFFER, (DWORD)0);
  CopyTruncated(text, undecorated, length - 1);
  return (DWORD)std::strlen(undecorated);
}

namespace {

// The walk's callbacks: both finish a deferred load of the module they touch,
// as the platform's do. Modules of the simulated machine carry no function
// tables.
PVOID FunctionTableAccess(const char* op, HANDLE process, uint64_t address) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter(op, address, Args("0x%llx", (unsigned long long)address)))
    return FailWith(f, nullptr);
  m.TouchModule(process, address);
  return nullptr;
}

uint64_t ModuleBase(const char* op, HANDLE process, uint64_t address) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter(op, address, Args("0x%llx", (unsigned long long)address))) {
    return FailWith(f, (uint64_t)0);
  }
  m.TouchModule(process, address);
  const Module* module = m.RegisteredModule(process, address);
  return module != nullptr ? module->base : 0;
}

}  // namespace

PVOID SymFunctionTableAccess(HANDLE process, DWORD address) {
  return FunctionTableAccess("SymFunctionTableAccess", process, address);
}
DWORD SymGetModuleBase(HANDLE process, DWORD address) {
  return (DWORD)ModuleBase("SymGetModuleBase", process, address);
}
PVOID SymFunctionTableAccess64(HANDLE process, DWORD64 address) {
  return FunctionTableAccess("SymFunctionTableAccess64", process, address);
}
DWORD64 SymGetModuleBase64(HANDLE process, DWORD64 address) {
  return ModuleBase("SymGetModuleBase64", process, address);
}
