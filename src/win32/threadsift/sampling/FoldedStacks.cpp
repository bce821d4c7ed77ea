#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "threadsift/base/FaultGuard.h"
#include "threadsift/sampling/FoldedStacks.h"

namespace {

// A ';' would split a frame in two and a control character would break the
// line: names from the target process are not trusted to lack them.
template <typename Text>
void MakeFoldable(Text* text) {
  for (size_t i = 0; i < text->size(); ++i) {
    if ((*text)[i] == ';' || static_cast<unsigned>((*text)[i]) < 0x20) (*text)[i] = '_';
  }
}

// The index of the frame's name, named the first time its address is seen.
int NameIndex(const ExaminedProcess& process, Address pc, FoldedStacks* stacks) {
  std::map<Address, int>::iterator known = stacks->nameOfAddress.find(pc);
  if (known != stacks->nameOfAddress.end()) return known->second;
  // The name alone: no argument list, no displacement, so that every
  // sample in a function counts as one frame. A fault in the symbol
  // handler or the undecorator ends this name only: the frame is named by
  // its address.
  std::string name;
  auto lookUp = [&]() { name = NameOfFrame(process, pc); };
  if (!CallGuarded(lookUp)) name = NameOfFrameByAddress(process, pc);
  MakeFoldable(&name);
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

void CountStack(const ExaminedProcess& process, DWORD tid, const std::vector<FoundFrame>& found,
                FoldedStacks* stacks) {
  std::pair<DWORD, std::vector<int>>& stack = stacks->inHand;
  stack.first = tid;
  stack.second.clear();
  for (const FoundFrame& frame : found) stack.second.push_back(NameIndex(process, frame.pc, stacks));
  // A stack seen before is counted without a copy of its key.
  auto counted = stacks->counts.find(stack);
  if (counted != stacks->counts.end()) {
    ++counted->second;
  } else {
    stacks->counts[stack] = 1;
  }
}

void ForgetStaleNames(FoldedStacks* stacks, const std::vector<ModuleRange>& dropped) {
  // Names made outside every module lack the "module!" part. A name made
  // again is found by its text and keeps its index.
  for (std::map<Address, int>::iterator it = stacks->nameOfAddress.begin(); it != stacks->nameOfAddress.end();) {
    bool stale = stacks->names[(size_t)it->second].find('!') == std::string::npos;
    for (const ModuleRange& range : dropped) stale = stale || (range.base <= it->first && it->first <= range.end);
    it = stale ? stacks->nameOfAddress.erase(it) : std::next(it);
  }
}

void PrintFoldedStacks(const ImageText& image, const FoldedStacks& stacks) {
  // "<tid>;<outermost>;...;<innermost>", the line after the image name.
  std::vector<std::pair<std::string, int>> lines;
  for (const auto& counted : stacks.counts) {
    char tid[16];
    snprintf(tid, sizeof(tid), "%u", (unsigned)counted.first.first);
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
