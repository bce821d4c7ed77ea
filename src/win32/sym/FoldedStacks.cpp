#include <windows.h>
#include <imagehlp.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "sym/FoldedStacks.h"
#include "sym/ModuleTable.h"

namespace {

const size_t kSymbolBufferSize = 4096;
const DWORD kUndecoratedCapacity = 4095;

typedef std::map<Address, std::string> FrameNames;

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

const std::string& FrameName(HANDLE process, Address pc, FrameNames* names) {
  FrameNames::iterator it = names->find(pc);
  if (it == names->end()) it = names->insert(FrameNames::value_type(pc, NameFrame(process, pc))).first;
  return it->second;
}

// "<tid>;<outermost>;...;<innermost>", the line after the image name.
std::string FoldedText(HANDLE process, const ThreadStack& stack, FrameNames* names) {
  char tid[16];
  sprintf(tid, "%u", (unsigned)stack.first);
  std::string text = tid;
  for (std::vector<Address>::const_reverse_iterator pc = stack.second.rbegin(); pc != stack.second.rend(); ++pc) {
    text += ';';
    text += FrameName(process, *pc, names);
  }
  return text;
}

bool ComesFirst(const std::pair<std::string, int>& a, const std::pair<std::string, int>& b) {
  if (a.second != b.second) return a.second > b.second;
  return a.first < b.first;
}

}  // namespace

void CountStack(DWORD tid, const std::vector<FoundFrame>& found, SampledStacks* stacks) {
  ThreadStack stack(tid, std::vector<Address>());
  stack.second.reserve(found.size());
  for (const FoundFrame& frame : found) stack.second.push_back(frame.pc);
  ++(*stacks)[stack];
}

void PrintFoldedStacks(HANDLE process, const ImageText& image, const SampledStacks& stacks) {
  FrameNames names;
  std::map<std::string, int> counts;
  for (SampledStacks::const_iterator it = stacks.begin(); it != stacks.end(); ++it) {
    counts[FoldedText(process, it->first, &names)] += it->second;
  }
  std::vector<std::pair<std::string, int>> lines(counts.begin(), counts.end());
  std::sort(lines.begin(), lines.end(), ComesFirst);
  ImageText shown = image;
  MakeFoldable(&shown);
  for (const std::pair<std::string, int>& line : lines) printf("%S;%s %d\n", shown.c_str(), line.first.c_str(), line.second);
}
