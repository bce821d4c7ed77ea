#ifndef THREADSIFT_MODULE_TABLE_H
#define THREADSIFT_MODULE_TABLE_H

#include <windows.h>

#include <string>
#include <vector>

#include "threadsift/Bitness.h"

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
};

enum ModuleTableOutcome { Built, Failed, SymbolLoadFailed };

// Lists the modules of the process, registers each with the symbol handler,
// prints the module listing (unless it is not to be listed: then no row and
// no version label is made) and fills the process's table.
ModuleTableOutcome BuildModuleTable(ExaminedProcess& process, ReportSink& report, bool listed = true);

// Lists the process's modules again and registers, without a word and
// without listing them, those the table does not hold yet (loaded since it
// was built); one that cannot be registered is left for the next time.
// True when one was added.
bool RegisterNewModules(ExaminedProcess& process);

// The position in table of the first module whose range holds address, or -1.
int FindModule(const ModuleTable& table, Address address);

// The base name of the first module of table whose range holds address, or null.
const char* FindModuleBaseName(const ModuleTable& table, Address address);

#endif
