#include <windows.h>
#include <imagehlp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/modules/SymbolSession.h"

namespace {

const size_t kSymbolBufferSize = 4096;
const DWORD kUndecoratedCapacity = 4095;

// The buffers of a symbol lookup: 8 KB, on the stack of the frame that
// names, so that a lookup allocates nothing (a name kept for the frames
// named after it does; running out of memory there ends the thread's frame
// lines at that frame, as a fault in a lookup does).
struct SymbolBuffers {
  char symbol[kSymbolBufferSize];
  char undecorated[kSymbolBufferSize];
};

// Looks up the symbol that holds pc into the symbol buffer.
WalkSymbol* LookUpSymbol(const ExaminedProcess& process, Address pc, SymbolDisplacement* displacement,
                         SymbolBuffers* buffers) {
  WalkSymbol* symbol = (WalkSymbol*)buffers->symbol;
  symbol->SizeOfStruct = sizeof(WalkSymbol);
  symbol->Address = 0;
  symbol->Size = 0;
  symbol->Flags = 0;
  symbol->MaxNameLength = (DWORD)(kSymbolBufferSize - sizeof(WalkSymbol) - 1);
  if (!SymbolsServe(process, pc)) return NULL;
  return GetSymbolAt(process.symbols->key, pc, displacement, symbol) ? symbol : NULL;
}

// The source line of the address, when the process has a line lookup and
// it knows the address.
bool LookUpSourceLine(const ExaminedProcess& process, Address address, DWORD* displacement, WalkLine* line) {
  if (process.lineLookup == NULL || !SymbolsServe(process, address)) return false;
  memset(line, 0, sizeof(*line));
  line->SizeOfStruct = sizeof(*line);
  return process.lineLookup(process.symbols->key, address, displacement, line) && line->FileName != NULL;
}

// " file(line)" when the line lookup knows the address; noted in name.
void PrintSourceLine(const ExaminedProcess& process, ReportSink& report, Address pc, DWORD* displacement,
                     FrameName* name) {
  WalkLine line;
  if (LookUpSourceLine(process, pc, displacement, &line)) {
    report.FrameSource(line.FileName, (unsigned)line.LineNumber);
    name->line = true;
    name->file = line.FileName;
    name->lineNumber = (unsigned)line.LineNumber;
  }
}

// Looks up and says the rest of a frame's line: symbol with its argument
// words and displacement, and source line, each said as soon as found (a
// fault in a later lookup leaves what came before); notes them in name.
void NameFrame(const ExaminedProcess& process, ReportSink& report, const FoundFrame& frame, SymbolBuffers* buffers,
               FrameName* name) {
  Address pc = frame.pc;
  SymbolDisplacement displacement = 0;
  WalkSymbol* symbol = LookUpSymbol(process, pc, &displacement, buffers);
  if (symbol == NULL) {
    report.FrameWithoutSymbol();
    return;
  }
  name->symbol = true;
  name->symbolName = symbol->Name;
  if (!UnDecorateSymbolName(symbol->Name, buffers->undecorated, kUndecoratedCapacity, UNDNAME_COMPLETE)) {
    name->undecorateError = GetLastError();
    report.Failure("UnDecorateSymbolName", (int)name->undecorateError);
    return;
  }
  name->undecorated = true;
  name->name = buffers->undecorated;
  name->displacement = displacement;
  report.FrameSymbol(buffers->undecorated, frame.params, displacement);
  DWORD lineDisplacement = (DWORD)displacement;
  PrintSourceLine(process, report, pc, &lineDisplacement, name);
  report.FrameEnd();
}

// Says the rest of a frame's line from its name found before.
void SayKnownFrame(ReportSink& report, const FoundFrame& frame, const FrameName& name) {
  if (!name.symbol) {
    report.FrameWithoutSymbol();
    return;
  }
  if (!name.undecorated) {
    report.Failure("UnDecorateSymbolName", (int)name.undecorateError);
    return;
  }
  report.FrameSymbol(name.name.c_str(), frame.params, name.displacement);
  if (name.line) report.FrameSource(name.file.c_str(), name.lineNumber);
  report.FrameEnd();
}

// Says one frame's line: address, module, symbol with its argument words
// and displacement, and source line. A frame in a module is named once a
// session: its name is kept by the module's base and the offset in it.
void PrintFrame(ExaminedProcess& process, ReportSink& report, const FoundFrame& frame, SymbolBuffers* buffers) {
  Address pc = frame.pc;
  int module = FindModule(process.modules, pc);
  if (module < 0) {
    report.FrameStart(pc, NULL, 0);
    FrameName unkept;
    NameFrame(process, report, frame, buffers, &unkept);
    return;
  }
  Address base = process.modules.bases[module];
  report.FrameStart(pc, process.modules.baseNames[module].c_str(), base);
  const FrameName* known = KnownFrameName(process, base, pc - base);
  if (known != NULL) {
    SayKnownFrame(report, frame, *known);
    return;
  }
  FrameName found;
  NameFrame(process, report, frame, buffers, &found);
  KeepFrameName(process, base, pc - base, found);
}

std::string AddressText(const ExaminedProcess& process, Address pc) { return "0x" + AddressDigits(pc, process.width); }

}  // namespace

bool BindLineLookup(ReportSink& report, LineLookup* lookup) {
  HMODULE imagehlp = GetModuleHandleA("ImageHlp");
  if (imagehlp == NULL) {
    report.Failure("GetModuleHandle", (int)GetLastError(), "ImageHlp");
    return false;
  }
  *lookup =
      reinterpret_cast<LineLookup>(reinterpret_cast<void*>(GetProcAddress(imagehlp, THREADSIFT_LINE_LOOKUP_NAME)));
  return true;
}

void PrintFrames(ExaminedProcess& process, ReportSink& report, const std::vector<FoundFrame>& found) {
  SymbolBuffers buffers;
  for (const FoundFrame& frame : found) PrintFrame(process, report, frame, &buffers);
}

std::string NameOfFrameByAddress(const ExaminedProcess& process, Address pc) {
  const char* module = FindModuleBaseName(process.modules, pc);
  return module != NULL ? std::string(module) + "!" + AddressText(process, pc) : AddressText(process, pc);
}

std::string NameOfFrame(const ExaminedProcess& process, Address pc) {
  const char* module = FindModuleBaseName(process.modules, pc);
  if (module == NULL) return AddressText(process, pc);
  SymbolBuffers buffers;
  SymbolDisplacement displacement = 0;
  WalkSymbol* symbol = LookUpSymbol(process, pc, &displacement, &buffers);
  if (symbol == NULL) return NameOfFrameByAddress(process, pc);
  std::string name = module;
  name += '!';
  if (UnDecorateSymbolName(symbol->Name, buffers.undecorated, kUndecoratedCapacity, UNDNAME_NAME_ONLY)) {
    name += buffers.undecorated;
  } else {
    name += symbol->Name;
  }
  return name;
}

bool SourceOfRoutine(const ExaminedProcess& process, Address pc, std::string* file, unsigned* line) {
  if (process.lineLookup == NULL) return false;
  SymbolBuffers buffers;
  SymbolDisplacement displacement = 0;
  WalkSymbol* symbol = LookUpSymbol(process, pc, &displacement, &buffers);
  if (symbol == NULL) return false;
  WalkLine found;
  DWORD lineDisplacement = 0;
  if (!LookUpSourceLine(process, (Address)symbol->Address, &lineDisplacement, &found)) return false;
  *file = found.FileName;
  *line = (unsigned)found.LineNumber;
  return true;
}

namespace {

// The symbol's own name of the frame at pc, as the frame's line found it
// when it was named before, else looked up; false without one.
bool SymbolNameOfFrame(const ExaminedProcess& process, Address pc, std::string* name) {
  int module = FindModule(process.modules, pc);
  if (module < 0) return false;
  Address base = process.modules.bases[module];
  const FrameName* known = KnownFrameName(process, base, pc - base);
  if (known != NULL) {
    *name = known->symbolName;
    return known->symbol;
  }
  SymbolBuffers buffers;
  SymbolDisplacement displacement = 0;
  WalkSymbol* symbol = LookUpSymbol(process, pc, &displacement, &buffers);
  if (symbol == NULL) return false;
  *name = symbol->Name;
  return true;
}

}  // namespace

bool PlainRoutineOfFrame(const ExaminedProcess& process, Address pc, std::string* routine) {
  std::string symbol;
  if (!SymbolNameOfFrame(process, pc, &symbol)) return false;
  routine->clear();
  size_t start = symbol.find_first_not_of('_');
  if (start == std::string::npos) return true;
  *routine = symbol.substr(start);
  size_t at = routine->rfind('@');
  if (at != std::string::npos && at + 1 < routine->size() &&
      routine->find_first_not_of("0123456789", at + 1) == std::string::npos) {
    routine->erase(at);
  }
  return true;
}
