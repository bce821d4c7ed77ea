#include <windows.h>
#include <imagehlp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "threadsift/FrameNaming.h"
#include "threadsift/ModuleTable.h"
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
    printf(" %s(%u)", line.FileName, (unsigned)line.LineNumber);
  }
}

// Prints one frame's line: address, module, symbol with its argument words
// and displacement, and source line.
void PrintFrame(HANDLE process, const FoundFrame& frame) {
  Address pc = frame.pc;
  printf(THREADSIFT_ADDRESS " = ", (PrintedAddress)pc);
  const char* module = FindModuleBaseName(pc);
  if (module != NULL) printf("%12s!", module);

  SymbolDisplacement displacement = 0;
  WalkSymbol* symbol = LookUpSymbol(process, pc, &displacement);
  if (symbol == NULL) {
    printf(THREADSIFT_ADDRESS "()\n", (PrintedAddress)pc);
    return;
  }
  if (!UnDecorateSymbolName(symbol->Name, g_buffers.undecorated, kUndecoratedCapacity, UNDNAME_COMPLETE)) {
    printf("UnDecorateSymbolName error %d\n", (int)GetLastError());
    return;
  }

  std::string text = g_buffers.undecorated;
  char scratch[80];
  sprintf(scratch, "(" THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS ")",
          (PrintedAddress)frame.params[0], (PrintedAddress)frame.params[1], (PrintedAddress)frame.params[2],
          (PrintedAddress)frame.params[3]);
  text += scratch;
  if (displacement != 0) {
    sprintf(scratch, "%+d", (int)displacement);
    text += scratch;
  }
  printf("%s", text.c_str());
  DWORD lineDisplacement = (DWORD)displacement;
  PrintSourceLine(process, pc, &lineDisplacement);
  printf("\n");
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
    printf("GetModuleHandle ImageHlp error %d\n", (int)GetLastError());
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
