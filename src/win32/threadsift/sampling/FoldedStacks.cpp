#include <windows.h>

#include <algorithm>
#include <cctype>
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

// True when path lies in folder (letters compared without case).
bool LiesIn(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() <= folder.size() || path[folder.size()] != '\\') return false;
  for (size_t i = 0; i < folder.size(); ++i) {
    if (tolower((unsigned char)path[i]) != tolower((unsigned char)folder[i])) return false;
  }
  return true;
}

// What is told of a name beside it, found when it is first made.
FrameOrigin OriginOf(const ExaminedProcess& process, Address pc, const std::string& platformFolder) {
  FrameOrigin origin;
  int module = FindModule(process.modules, pc);
  if (module < 0) return origin;
  origin.module = process.modules.baseNames[(size_t)module];
  origin.platform = LiesIn(process.modules.paths[(size_t)module], platformFolder);
  auto lookUp = [&]() { SourceOfRoutine(process, pc, &origin.file, &origin.line); };
  if (!CallGuarded(lookUp)) origin.file.clear();
  return origin;
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
    stacks->origins.push_back(OriginOf(process, pc, stacks->platformFolder));
    stacks->nameIndex[name] = index;
  }
  stacks->nameOfAddress[pc] = index;
  return index;
}

// Adds the sample to its thread's timeline: a run of samples that missed
// the thread since the last one that found it, then the stack.
void AddToTimeline(DWORD tid, int sample, int stack, FoldedStacks* stacks) {
  std::map<DWORD, ThreadTimeline>::iterator found = stacks->timelines.find(tid);
  if (found == stacks->timelines.end()) {
    found = stacks->timelines.insert(std::make_pair(tid, ThreadTimeline())).first;
    found->second.firstSample = found->second.nextSample = sample;
  }
  ThreadTimeline& timeline = found->second;
  if (sample > timeline.nextSample) timeline.runs.push_back(SampleRun{kNotSampled, sample - timeline.nextSample});
  if (!timeline.runs.empty() && timeline.runs.back().stack == stack) {
    ++timeline.runs.back().length;
  } else {
    timeline.runs.push_back(SampleRun{stack, 1});
  }
  timeline.nextSample = sample + 1;
}

bool ComesFirst(const std::pair<std::string, int>& a, const std::pair<std::string, int>& b) {
  if (a.second != b.second) return a.second > b.second;
  return a.first < b.first;
}

}  // namespace

void CountStack(const ExaminedProcess& process, DWORD tid, int sample, const std::vector<FoundFrame>& found,
                FoldedStacks* stacks) {
  StackKey& stack = stacks->inHand;
  stack.first = tid;
  stack.second.clear();
  for (const FoundFrame& frame : found) stack.second.push_back(NameIndex(process, frame.pc, stacks));
  // A stack seen before is counted without a copy of its key.
  auto counted = stacks->counts.find(stack);
  if (counted != stacks->counts.end()) {
    ++counted->second.count;
  } else {
    CountedStack first = {1, (int)stacks->stackOfId.size()};
    counted = stacks->counts.insert(std::make_pair(stack, first)).first;
    stacks->stackOfId.push_back(&counted->first);
  }
  if (stacks->keepsTimelines) AddToTimeline(tid, sample, counted->second.id, stacks);
}

std::string FindPlatformFolder() {
  char system[MAX_PATH];
  UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  std::string folder(system, length);
  size_t parent = folder.rfind('\\');
  return parent == std::string::npos ? std::string() : folder.substr(0, parent);
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

std::vector<std::pair<std::string, int>> FoldedStackTexts(const FoldedStacks& stacks,
                                                          const std::vector<std::string>& names) {
  std::vector<std::pair<std::string, int>> lines;
  lines.reserve(stacks.counts.size());
  for (const auto& counted : stacks.counts) {
    std::string text = std::to_string(counted.first.first);
    for (auto name = counted.first.second.rbegin(); name != counted.first.second.rend(); ++name) {
      text += ';';
      text += names[(size_t)*name];
    }
    lines.push_back(std::make_pair(text, counted.second.count));
  }
  std::sort(lines.begin(), lines.end(), ComesFirst);
  return lines;
}

ImageText FoldableImage(const ImageText& image) {
  ImageText shown = image;
  MakeFoldable(&shown);
  return shown;
}

void PrintFoldedStacks(const ImageText& image, const FoldedStacks& stacks) {
  ImageText shown = FoldableImage(image);
  for (const std::pair<std::string, int>& line : FoldedStackTexts(stacks, stacks.names)) {
    printf("%S;%s %d\n", shown.c_str(), line.first.c_str(), line.second);
  }
}
