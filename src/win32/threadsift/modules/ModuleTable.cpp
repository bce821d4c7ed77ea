#include <windows.h>
#include <imagehlp.h>
#include <psapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/modules/LoaderList.h"
#include "threadsift/unwind/MemoryCache.h"
#include "threadsift/modules/ModuleTable.h"
#include "threadsift/modules/ModuleVersion.h"
#include "threadsift/process/ProcessWidth.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/modules/SymbolSession.h"

namespace {

const DWORD kInitialModuleHandles = 1024;
const DWORD kNameCapacity = 260;

// Processes whose modules cannot be listed on the supported systems (the
// System process of NT 4.0 and of 2000): their threads are walked anyway.
bool IsSystemProcess(int pid) { return pid == 2 || pid == 8; }

typedef BOOL(WINAPI* EnumProcessModulesExFn)(HANDLE, HMODULE*, DWORD, LPDWORD, DWORD);
const DWORD kList32BitModules = 0x01;

// Lists the modules of a process of the other width (a 32-bit process seen
// from the 64-bit build), whose 32-bit modules only the extended listing
// names; the routine is found at run time (the first 64-bit systems have
// none: then its lookup's error).
EnumProcessModulesExFn FindExtendedListing() {
  HMODULE psapi = GetModuleHandleA("psapi.dll");
  FARPROC entry = psapi != NULL ? GetProcAddress(psapi, "EnumProcessModulesEx") : NULL;
  return reinterpret_cast<EnumProcessModulesExFn>(reinterpret_cast<void*>(entry));
}

BOOL ListOtherWidthModules(HANDLE process, HMODULE* handles, DWORD size, DWORD* needed) {
  EnumProcessModulesExFn list = FindExtendedListing();
  return list != NULL && list(process, handles, size, needed, kList32BitModules);
}

// Asks for the module handles of a process of width, growing the buffer
// until every one fits; *first is the first listed, the process's main
// image. Returns false when the platform cannot list them.
bool ListModuleHandles(HANDLE process, ProcessWidth width, std::vector<Address>* sorted, Address* first) {
  std::vector<HMODULE> handles(kInitialModuleHandles);
  DWORD needed = 0;
  for (;;) {
    DWORD size = (DWORD)(handles.size() * sizeof(HMODULE));
    BOOL listed = width == kToolWidth ? EnumProcessModules(process, handles.data(), size, &needed)
                                      : ListOtherWidthModules(process, handles.data(), size, &needed);
    if (!listed) return false;
    if (needed <= size) break;
    handles.resize(needed / sizeof(HMODULE));
  }
  sorted->clear();
  for (size_t i = 0; i < needed / sizeof(HMODULE); ++i) sorted->push_back((Address)(UINT_PTR)handles[i]);
  *first = sorted->empty() ? 0 : sorted->front();
  std::sort(sorted->begin(), sorted->end());
  return true;
}

// Empties the per-module sequences and makes room for count modules, so
// that none grows while the rows are printed.
void EmptyTable(ModuleTable* table, size_t count) {
  ModuleTable& t = *table;
  t.bases.clear();
  t.ends.clear();
  t.sizes.clear();
  t.baseNames.clear();
  t.paths.clear();
  t.timeStamps.clear();
  t.bases.reserve(count);
  t.ends.reserve(count);
  t.sizes.reserve(count);
  t.baseNames.reserve(count);
  t.paths.reserve(count);
  t.timeStamps.reserve(count);
}

// A module's range and names as the platform gives them.
struct ModuleFacts {
  Address base;
  DWORD size;
  char baseName[kNameCapacity];
  char path[kNameCapacity];
};

// Reads the module's facts; false, with failedCall naming the call that
// failed and its last error left, when one cannot be had. A name cut to the
// room it is given may come without its terminator: it ends where the
// platform says it stopped, within the room.
bool ReadModuleFacts(HANDLE process, HMODULE module, ModuleFacts* facts, const char** failedCall) {
  MODULEINFO info;
  if (!GetModuleInformation(process, module, &info, sizeof(info))) {
    *failedCall = "GetModuleInformation";
    return false;
  }
  facts->base = (Address)(UINT_PTR)info.lpBaseOfDll;
  facts->size = info.SizeOfImage;
  DWORD copied = GetModuleBaseNameA(process, module, facts->baseName, kNameCapacity);
  if (!copied) {
    *failedCall = "GetModuleBaseName";
    return false;
  }
  facts->baseName[std::min(copied, kNameCapacity - 1)] = '\0';
  copied = GetModuleFileNameExA(process, module, facts->path, kNameCapacity);
  if (!copied) {
    *failedCall = "GetModuleFileNameEx";
    return false;
  }
  facts->path[std::min(copied, kNameCapacity - 1)] = '\0';
  return true;
}

// Appends the module to the table's per-module sequences.
void AppendModule(const ModuleFacts& facts, DWORD timeStamp, ModuleTable* table) {
  ModuleTable& t = *table;
  t.bases.push_back(facts.base);
  t.ends.push_back(facts.base + facts.size - 1);
  t.sizes.push_back(facts.size);
  t.baseNames.push_back(facts.baseName);
  t.paths.push_back(facts.path);
  t.timeStamps.push_back(timeStamp);
}

// Removes module i from every sequence of the table.
void RemoveModule(ModuleTable* table, size_t i) {
  ModuleTable& t = *table;
  t.handles.erase(t.handles.begin() + (std::ptrdiff_t)i);
  t.bases.erase(t.bases.begin() + (std::ptrdiff_t)i);
  t.ends.erase(t.ends.begin() + (std::ptrdiff_t)i);
  t.sizes.erase(t.sizes.begin() + (std::ptrdiff_t)i);
  t.baseNames.erase(t.baseNames.begin() + (std::ptrdiff_t)i);
  t.paths.erase(t.paths.begin() + (std::ptrdiff_t)i);
  t.timeStamps.erase(t.timeStamps.begin() + (std::ptrdiff_t)i);
}

// A module as listed now, with its image's time stamp (0 when unreadable).
struct ListedModule {
  Address handle;
  ModuleFacts facts;
  DWORD timeStamp;
};

DWORD TimeStampOf(HANDLE process, Address base, DWORD size) {
  DWORD timeStamp = 0;
  return ReadImageTimeStamp(process, base, size, &timeStamp) ? timeStamp : 0;
}

// A module as the loader's list records it, its names cut to the room
// the platform's listing gives them.
ModuleFacts FactsOf(const LoaderModule& module) {
  ModuleFacts facts;
  facts.base = module.base;
  facts.size = module.size;
  snprintf(facts.baseName, sizeof(facts.baseName), "%s", module.baseName.c_str());
  snprintf(facts.path, sizeof(facts.path), "%s", module.path.c_str());
  return facts;
}

// The modules of a process of width from its loader's list, by base,
// without their time stamps; false, with the last error, when it cannot be
// read.
bool ReadLoaderModules(HANDLE process, ProcessWidth width, std::vector<ListedModule>* listed) {
  std::vector<LoaderModule> loaded;
  if (!ReadLoaderList(process, width, &loaded)) return false;
  listed->clear();
  for (const LoaderModule& module : loaded) listed->push_back(ListedModule{module.base, FactsOf(module), 0});
  std::sort(listed->begin(), listed->end(),
            [](const ListedModule& a, const ListedModule& b) { return a.handle < b.handle; });
  return true;
}

void ReadTimeStamps(HANDLE process, std::vector<ListedModule>* listed) {
  for (ListedModule& module : *listed) module.timeStamp = TimeStampOf(process, module.facts.base, module.facts.size);
}

// The facts of the modules listed by handle (sorted), read in one pass
// over the loader's list instead of three process-status calls a module
// (each of which walks that list again). False when the list cannot be
// read, or does not name exactly those modules, each with a size and both
// names: then each module is read through the process-status calls, which
// say what fails.
bool ReadFromLoaderList(const ExaminedProcess& process, const std::vector<Address>& handles,
                        std::vector<ListedModule>* listed) {
  if (handles.empty() || !ReadLoaderModules(process.handle, process.width, listed) ||
      listed->size() != handles.size()) {
    return false;
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    const ListedModule& module = (*listed)[i];
    if (module.handle != handles[i] || module.facts.size == 0 || module.facts.baseName[0] == '\0' ||
        module.facts.path[0] == '\0') {
      return false;
    }
  }
  return true;
}

// The version label of the module file just registered at base: the one the
// sweep's shared session keeps for the same file there, or read now. A
// label that is the file's own (found, or a file without one) is kept for
// the next process; after a failed read the file is read again, so that each
// process's listing says its own failures.
std::string VersionLabelOf(ExaminedProcess& process, ReportSink& report, const std::string& file, Address base) {
  const std::string* kept = KeptVersionLabel(process, base);
  if (kept != NULL) return *kept;
  bool settled = false;
  std::string label = GetModuleVersion(report, file.c_str(), &settled);
  if (settled) KeepVersionLabel(process, base, label);
  return label;
}

// Adds one module, read, to the table, registers it and, when listed,
// prints its row.
ModuleTableOutcome AddReadModule(ExaminedProcess& process, ReportSink& report, const ModuleFacts& facts,
                                 bool listed) {
  AppendModule(facts, 0, &process.modules);
  std::string file = FileOfModule(process, facts.path);
  if (RegisterModuleSymbols(process, file.c_str(), facts.baseName, facts.base, facts.size) == 0) {
    report.Failure("SymLoadModule", (int)GetLastError());
    return SymbolLoadFailed;
  }
  if (!listed) return Built;
  std::string label = VersionLabelOf(process, report, file, facts.base);
  report.Module(facts.base, facts.size, label, facts.path);
  return Built;
}

// Adds one module to the table, registers it and, when listed, prints its row.
ModuleTableOutcome AddModule(ExaminedProcess& process, ReportSink& report, Address handle, bool listed) {
  ModuleFacts facts;
  const char* failedCall = "";
  if (!ReadModuleFacts(process.handle, (HMODULE)(UINT_PTR)handle, &facts, &failedCall)) {
    report.Failure(failedCall, (int)GetLastError());
    return Failed;
  }
  return AddReadModule(process, report, facts, listed);
}

bool IsSameModule(const ModuleTable& t, size_t i, const ListedModule& listed) {
  return t.bases[i] == listed.facts.base && t.sizes[i] == listed.facts.size &&
         t.timeStamps[i] == listed.timeStamp && t.paths[i] == listed.facts.path;
}

// The position in the table of the module listed, or -1.
int FindSameModule(const ModuleTable& t, const ListedModule& listed) {
  for (size_t i = 0; i < t.bases.size(); ++i) {
    if (IsSameModule(t, i, listed)) return (int)i;
  }
  return -1;
}

// Reads every listed module; handles whose module cannot be read go to
// *unread.
void ReadListedModules(HANDLE process, const std::vector<Address>& handles, std::vector<ListedModule>* listed,
                       std::vector<Address>* unread) {
  for (Address handle : handles) {
    ListedModule module;
    module.handle = handle;
    const char* failedCall = "";
    if (!ReadModuleFacts(process, (HMODULE)(UINT_PTR)handle, &module.facts, &failedCall)) {
      unread->push_back(handle);
      continue;
    }
    module.timeStamp = TimeStampOf(process, module.facts.base, module.facts.size);
    listed->push_back(module);
  }
}

// Drops the table's modules that are not listed as they were (a module
// that could not be read now is kept); true when one was dropped.
bool DropGoneModules(ExaminedProcess& process, const std::vector<ListedModule>& listed,
                     const std::vector<Address>& unread, std::vector<ModuleRange>* dropped) {
  ModuleTable& t = process.modules;
  bool any = false;
  for (size_t i = t.bases.size(); i-- > 0;) {
    if (std::find(unread.begin(), unread.end(), t.handles[i]) != unread.end()) continue;
    bool kept = false;
    for (const ListedModule& module : listed) kept = kept || IsSameModule(t, i, module);
    if (kept) continue;
    ModuleRange range = {t.bases[i], t.ends[i]};
    dropped->push_back(range);
    UnregisterModuleSymbols(process, range.base);
    ForgetModulePages(&process.pages, range.base, range.end);
    RemoveModule(&t, i);
    any = true;
  }
  return any;
}

// Registers a module loaded since the table was built and adds it to the
// table; false, without a word, when it cannot be (it may be gone again).
bool AddLaterModule(ExaminedProcess& process, const ListedModule& module) {
  const ModuleFacts& facts = module.facts;
  std::string file = FileOfModule(process, facts.path);
  if (RegisterModuleSymbols(process, file.c_str(), facts.baseName, facts.base, facts.size) == 0) return false;
  process.modules.handles.push_back(module.handle);
  AppendModule(facts, module.timeStamp, &process.modules);
  return true;
}

// True for a process of the other width on a system that cannot list its
// modules (the first 64-bit systems): its loader's list names them.
bool UsesLoaderList(const ExaminedProcess& process) {
  return process.width != kToolWidth && FindExtendedListing() == NULL;
}

// Builds the table of a process whose loader's list is all that names its
// modules, as BuildModuleTable does from the platform's listing.
ModuleTableOutcome BuildFromLoaderList(ExaminedProcess& process, ReportSink& report, bool listed) {
  std::vector<ListedModule> modules;
  if (!ReadLoaderModules(process.handle, process.width, &modules)) {
    report.Failure("ReadLoaderList", (int)GetLastError());
    return Failed;
  }
  process.modules.handles.clear();
  for (const ListedModule& module : modules) process.modules.handles.push_back(module.handle);
  EmptyTable(&process.modules, modules.size());
  if (listed) report.ModuleListing();
  for (const ListedModule& module : modules) {
    ModuleTableOutcome outcome = AddReadModule(process, report, module.facts, listed);
    if (outcome != Built) return outcome;
  }
  return Built;
}

}  // namespace

void ReadModuleTimeStamps(ExaminedProcess& process) {
  ModuleTable& t = process.modules;
  for (size_t i = 0; i < t.bases.size() && i < t.timeStamps.size(); ++i) {
    t.timeStamps[i] = TimeStampOf(process.handle, t.bases[i], t.sizes[i]);
  }
}

bool RelistModules(ExaminedProcess& process, std::vector<ModuleRange>* dropped) {
  std::vector<Address> handles;
  Address mainImage = 0;
  std::vector<ListedModule> listed;
  std::vector<Address> unread;
  if (UsesLoaderList(process)) {
    if (!ReadLoaderModules(process.handle, process.width, &listed)) return false;
    ReadTimeStamps(process.handle, &listed);
  } else if (!ListModuleHandles(process.handle, process.width, &handles, &mainImage)) {
    return false;
  } else if (ReadFromLoaderList(process, handles, &listed)) {
    ReadTimeStamps(process.handle, &listed);
  } else {
    listed.clear();
    ReadListedModules(process.handle, handles, &listed, &unread);
  }
  bool changed = DropGoneModules(process, listed, unread, dropped);
  for (const ListedModule& module : listed) {
    if (FindSameModule(process.modules, module) < 0 && AddLaterModule(process, module)) changed = true;
  }
  return changed;
}

ModuleTableOutcome BuildModuleTable(ExaminedProcess& process, ReportSink& report, bool listed) {
  std::vector<Address> handles;
  Address mainImage = 0;
  if (!ListModuleHandles(process.handle, kToolWidth, &handles, &mainImage)) {
    if (IsWiderProcess(process.handle)) {
      report.WiderProcess(process.pid);
      return Failed;
    }
    report.Failure("EnumProcessModules", (int)GetLastError());
    if (!IsSystemProcess(process.pid)) return Failed;
    handles.clear();
  }
  if (!handles.empty() && !DecideProcessWidth(process, report, mainImage)) return Failed;
  FindSystemFolders(process);
  report.ProcessWidthIs(process.width);
  if (UsesLoaderList(process)) return BuildFromLoaderList(process, report, listed);
  if (process.width != kToolWidth && !ListModuleHandles(process.handle, process.width, &handles, &mainImage)) {
    report.Failure("EnumProcessModulesEx", (int)GetLastError());
    return Failed;
  }
  process.modules.handles = handles;
  EmptyTable(&process.modules, handles.size());
  std::vector<ListedModule> read;
  bool loaderNamesThem = ReadFromLoaderList(process, handles, &read);
  if (listed) report.ModuleListing();
  for (size_t i = 0; i < handles.size(); ++i) {
    ModuleTableOutcome outcome = loaderNamesThem ? AddReadModule(process, report, read[i].facts, listed)
                                                 : AddModule(process, report, handles[i], listed);
    if (outcome != Built) return outcome;
  }
  return Built;
}

int FindModule(const ModuleTable& table, Address address) {
  const ModuleTable& t = table;
  for (size_t i = 0; i < t.handles.size() && i < t.bases.size(); ++i) {
    if (t.bases[i] <= address && address <= t.ends[i]) return (int)i;
  }
  return -1;
}

const char* FindModuleBaseName(const ModuleTable& table, Address address) {
  int found = FindModule(table, address);
  return found >= 0 ? table.baseNames[found].c_str() : NULL;
}
