#include <windows.h>
#include <imagehlp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "threadsift/FrameNaming.h"
#include "threadsift/ModuleTable.h"
#include "threadsift/ReportSink.h"
#include "threadsift/SymbolSession.h"

namespace {

const size_t kSymbolBufferSize = 4096;
const DWORD kUndecoratedCapacity = 4095;

// The image help library's source-line lookup, or null when it has none.
LineLookup g_lineLookup = NULL;

// The buffers of symbol lookups, reused for every frame.
struct SymbolBuffers {
  char symbol[kSymbolBufferSize];
  char undecorated[kSymbolBufferSize];
};
SymbolBuffers g_buffers;  // 8 KB

// Looks up the symbol that holds pc into the symbol buffer.
WalkSymbol* LookUpSymbol(HANDLE process, Address pc, SymbolDisplacement* displacement) {
  WalkSymbol* symbol = (WalkSymbol*)g_buffers.symbol;
  symbol->SizeOfStruct = sizeof(WalkSymbol);
  symbol->Address = 0;
  symbol->Size = 0;
  symbol->Flags = 0;
  symbol->MaxNameLength = (DWORD)(kSymbolBufferSize - sizeof(WalkSymbol) - 1);
  if (!SymbolsServe(pc)) return NULL;
  return GetSymbolAt(SymbolsOf(process), pc, displacement, symbol) ? symbol : NULL;
}

// " file(line)" when the line lookup knows the address.
void PrintSourceLine(HANDLE process, Address pc, DWORD* displacement) {
  if (g_lineLookup == NULL || !SymbolsServe(pc)) return;
  WalkLine line;
  memset(&line, 0, sizeof(line));
  line.SizeOfStruct = sizeof(line);
  if (g_lineLookup(SymbolsOf(process), pc, displacement, &line) && line.FileName != NULL) {
    ReportFrameSource(line.FileName, (unsigned)line.LineNumber);
  }
}

// Prints one frame's line: address, module, symbol with its argument words
// and displacement, and source line.
void PrintFrame(HANDLE process, const FoundFrame& frame) {
  Address pc = frame.pc;
  ReportFrameStart(pc);

  SymbolDisplacement displacement = 0;
  WalkSymbol* symbol = LookUpSymbol(process, pc, &displacement);
  if (symbol == NULL) {
    ReportFrameWithoutSymbol(pc);
    return;
  }
  if (!UnDecorateSymbolName(symbol->Name, g_buffers.undecorated, kUndecoratedCapacity, UNDNAME_COMPLETE)) {
    ReportFailure("UnDecorateSymbolName", (int)GetLastError());
    return;
  }

  ReportFrameSymbol(g_buffers.undecorated, frame.params, displacement);
  DWORD lineDisplacement = (DWORD)displacement;
  PrintSourceLine(process, pc, &lineDisplacement);
  ReportFrameEnd();
}

std::string AddressText(Address pc) {
  char text[32];
  sprintf(text, "0x" THREADSIFT_ADDRESS, (PrintedAddress)pc);
  return text;
}

}  // namespace

bool BindLineLookup() {
  HMODULE imagehlp = GetModuleHandleA("ImageHlp");
  if (imagehlp == NULL) {
    ReportFailure("GetModuleHandle", (int)GetLastError(), "ImageHlp");
    return false;
  }
  g_lineLookup =
      reinterpret_cast<LineLookup>(reinterpret_cast<void*>(GetProcAddress(imagehlp, THREADSIFT_LINE_LOOKUP_NAME)));
  return true;
}

void PrintFrames(HANDLE process, const std::vector<FoundFrame>& found) {
  for (const FoundFrame& frame : found) PrintFrame(process, frame);
}

std::string NameOfFrameByAddress(Address pc) {
  const char* module = FindModuleBaseName(pc);
  return module != NULL ? std::string(module) + "!" + AddressText(pc) : AddressText(pc);
}

std::string NameOfFrame(HANDLE process, Address pc) {
  const char* module = FindModuleBaseName(pc);
  if (module == NULL) return AddressText(pc);
  SymbolDisplacement displacement = 0;
  WalkSymbol* symbol = LookUpSymbol(process, pc, &displacement);
  if (symbol == NULL) return NameOfFrameByAddress(pc);
  std::string name = module;
  name += '!';
  if (UnDecorateSymbolName(symbol->Name, g_buffers.undecorated, kUndecoratedCapacity, UNDNAME_NAME_ONLY)) {
    name += g_buffers.undecorated;
  } else {
    name += symbol->Name;
  }
  return name;
}
