#include "ManyStacks.h"

#include <string>

FoldedStacks ManyStacks(int threads, int distinct, int depth, int samplesPerThread) {
  FoldedStacks stacks;
  auto nameOf = [&](const std::string& name, bool platform) {
    auto known = stacks.nameIndex.find(name);
    if (known != stacks.nameIndex.end()) return known->second;
    int index = (int)stacks.names.size();
    stacks.names.push_back(name);
    FrameOrigin origin;
    origin.module = platform ? "kernel32.dll" : "app.exe";
    origin.platform = platform;
    stacks.origins.push_back(origin);
    stacks.nameIndex[name] = index;
    return index;
  };
  int shared = depth / 3;
  int unit = samplesPerThread / (distinct / 2 * 10);
  for (int t = 0; t < threads; ++t) {
    for (int s = 0; s < distinct; ++s) {
      StackKey key;
      key.first = (DWORD)(1000 + t * 4);
      for (int level = depth - 1; level >= 0; --level) {
        bool platform = level >= depth - 2;
        std::string name = platform ? "kernel32.dll!WaitForMultipleObjectsEx_" + std::to_string(s % 7)
                           : level < shared
                               ? "app.exe!Service<Request&>::Outer" + std::to_string(level)
                               : "app.exe!Pipeline<\"stage\">::Step" + std::to_string(level) + "_" + std::to_string(s);
        key.second.push_back(nameOf(name, platform));
      }
      int count = s % 2 == 0 ? 9 * unit : unit;
      if (s == 0) count += samplesPerThread - unit * 10 * (distinct / 2);
      auto counted = stacks.counts.insert(std::make_pair(key, CountedStack{count, (int)stacks.stackOfId.size()}));
      stacks.stackOfId.push_back(&counted.first->first);
    }
  }
  return stacks;
}

SamplesTaken MillionSamplesTaken(const FoldedStacks& stacks) {
  SamplesTaken taken;
  taken.image = ImageText(u"app.exe");
  taken.pid = 120;
  taken.samples = taken.requested = 1000000;
  taken.intervalMs = 1;
  taken.threads = 64;
  taken.stacks = &stacks;
  taken.names = Utf8Names(stacks);
  return taken;
}
