#include <windows.h>
#include <imagehlp.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "sym/FaultGuard.h"
#include "sym/FoldedStacks.h"
#include "sym/ModuleTable.h"

namespace {

const size_t kSymbolBufferSize = 4096;
const DWORD kUndecoratedCapacity = 4095;

// A ';' would split a frame in two and a control character would break the
// line: names from the target process are not trusted to lack them.
template <typename Text>
void MakeFoldable(Text* text) {
  for (size_t i = 0; i < text->size(); ++i) {
    if ((*text)[i] == ';' || static_cast<unsigned>((*text)[i]) < 0x20) (*text)[i] = '_';
  }
}

std::string AddressText(Address pc) {
  char text[32];
  sprintf(text, "0x" THREADSIFT_ADDRESS, (PrintedAddress)pc);
  return text;
}

// "module!symbol", "module!0x<address>" without a symbol, or the bare
// address outside every module. The name alone: no argument list, no
// displacement, so that every sample in a function counts as one frame.
std::string NameFrame(HANDLE process, Address pc) {
  const char* module = FindModuleBaseName(pc);
  if (module == NULL) return AddressText(pc);
  static char symbolBuffer[kSymbolBufferSize];
  static char undecorated[kSymbolBufferSize];
  WalkSymbol* symbol = (WalkSymbol*)symbolBuffer;
  SymbolDisplacement displacement = 0;
  std::string name = module;
  name += '!';
  if (!LookUpSymbol(process, pc, &displacement, symbol, kSymbolBufferSize)) {
    name += AddressText(pc);
  } else if (UnDecorateSymbolName(symbol->Name, undecorated, kUndecoratedCapacity, UNDNAME_NAME_ONLY)) {
    name += undecorated;
  } else {
    name += symbol->Name;
  }
  MakeFoldable(&name);
  return name;
}

struct FrameNaming {
  HANDLE process;
  Address pc;
  std::string name;
};

int NameFrameOf(void* context) {
  FrameNaming* naming = (FrameNaming*)context;
  naming->name = NameFrame(naming->process, naming->pc);
  return 1;
}

// NameFrame under the fault guard the report's walk uses: a fault in the
// symbol handler or the undecorator ends this name only, and the frame is
// named by its address.
std::string NameFrameGuarded(HANDLE process, Address pc) {
  FrameNaming naming = {process, pc, std::string()};
  int done = 1;
  if (CallGuarded(NameFrameOf, &naming, &done)) return naming.name;
  const char* module = FindModuleBaseName(pc);
  std::string name = module != NULL ? std::string(module) + "!" + AddressText(pc) : AddressText(pc);
  MakeFoldable(&name);
  return name;
}

// The index of the frame's name, named the first time its address is seen.
int NameIndex(HANDLE process, Address pc, FoldedStacks* stacks) {
  std::map<Address, int>::iterator known = stacks->nameOfAddress.find(pc);
  if (known != stacks->nameOfAddress.end()) return known->second;
  std::string name = NameFrameGuarded(process, pc);
  std::map<std::string, int>::iterator same = stacks->nameIndex.find(name);
  int index = (int)stacks->names.size();
  if (same != stacks->nameIndex.end()) {
    index = same->second;
  } else {
    stacks->names.push_back(name);
    stacks->nameIndex[name] = index;
  }
  stacks->nameOfAddress[pc] = index;
  return index;
}

bool ComesFirst(const std::pair<std::string, int>& a, const std::pair<std::string, int>& b) {
  if (a.second != b.second) return a.second > b.second;
  return a.first < b.first;
}

}  // namespace

void CountStack(HANDLE process, DWORD tid, const std::vector<FoundFrame>& found, FoldedStacks* stacks) {
  std::pair<DWORD, std::vector<int>> stack(tid, std::vector<int>());
  stack.second.reserve(found.size());
  for (const FoundFrame& frame : found) stack.second.push_back(NameIndex(process, frame.pc, stacks));
  ++stacks->counts[stack];
}

void ForgetNamesOutsideModules(FoldedStacks* stacks) {
  // Only such names lack the "module!" part. A name made again is found by
  // its text and keeps its index.
  for (std::map<Address, int>::iterator it = stacks->nameOfAddress.begin(); it != stacks->nameOfAddress.end();) {
    bool bare = stacks->names[(size_t)it->second].find('!') == std::string::npos;
    it = bare ? stacks->nameOfAddress.erase(it) : std::next(it);
  }
}

void PrintFoldedStacks(const ImageText& image, const FoldedStacks& stacks) {
  // "<tid>;<outermost>;...;<innermost>", the line after the image name.
  std::vector<std::pair<std::string, int>> lines;
  for (const auto& counted : stacks.counts) {
    char tid[16];
    sprintf(tid, "%u", (unsigned)counted.first.first);
    std::string text = tid;
    for (auto name = counted.first.second.rbegin(); name != counted.first.second.rend(); ++name) {
      text += ';';
      text += stacks.names[(size_t)*name];
    }
    lines.push_back(std::make_pair(text, counted.second));
  }
  std::sort(lines.begin(), lines.end(), ComesFirst);
  ImageText shown = image;
  MakeFoldable(&shown);
  for (const std::pair<std::string, int>& line : lines) {
    printf("%S;%s %d\n", shown.c_str(), line.first.c_str(), line.second);
  }
}
