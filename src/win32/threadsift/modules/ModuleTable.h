#ifndef THREADSIFT_MODULE_TABLE_H
#define THREADSIFT_MODULE_TABLE_H

#include <windows.h>

#include <string>
#include <vector>

#include "threadsift/base/Bitness.h"

struct ExaminedProcess;
class ReportSink;

// The modules of the process being walked, in ascending order of module
// handle; position i of every sequence describes the same module.
struct ModuleTable {
  std::vector<Address> handles;
  std::vector<Address> bases;
  std::vector<Address> ends;  // last address, inclusive
  std::vector<DWORD> sizes;
  std::vector<std::string> baseNames;
  std::vector<std::string> paths;
  // The image's time stamp, which tells another build of the same file;
  // read only where the modules are listed again (see ReadModuleTimeStamps),
  // 0 when unread or unreadable.
  std::vector<DWORD> timeStamps;
};

// The addresses of a module, its last included.
struct ModuleRange {
  Address base;
  Address end;
};

enum ModuleTableOutcome { Built, Failed, SymbolLoadFailed };

// Lists the modules of the process, registers each with the symbol handler,
// prints the module listing (unless it is not to be listed: then no row and
// no version label is made) and fills the process's table.
ModuleTableOutcome BuildModuleTable(ExaminedProcess& process, ReportSink& report, bool listed = true);

// Reads the time stamp of every module of the table, so that listing the
// modules again tells a module replaced by another build of its file.
void ReadModuleTimeStamps(ExaminedProcess& process);

// Lists the process's modules again. A module of the table that is no
// longer listed with the same range, path and time stamp (unloaded, or
// replaced) is dropped, with its cached pages and its registration, and its
// range added to *dropped; one listed that the table does not hold (loaded
// since) is registered and added, without a word and without a row. One
// that cannot be read or registered is left for the next time. True when
// the table changed.
bool RelistModules(ExaminedProcess& process, std::vector<ModuleRange>* dropped);

// The position in table of the first module whose range holds address, or -1.
int FindModule(const ModuleTable& table, Address address);

// The base name of the first module of table whose range holds address, or null.
const char* FindModuleBaseName(const ModuleTable& table, Address address);

#endif
