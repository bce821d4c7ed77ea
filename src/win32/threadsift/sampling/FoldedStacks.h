#ifndef THREADSIFT_FOLDED_STACKS_H
#define THREADSIFT_FOLDED_STACKS_H

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "threadsift/base/Bitness.h"
#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/modules/ModuleTable.h"
#include "threadsift/process/ProcessSnapshot.h"

// The stacks a sampling run saw, counted as they come: each frame is named
// the first time its address is seen (once for the whole run), and stacks
// are counted by their names, so that the count of distinct stacks stays
// that of the distinct ways through the code, however many addresses the
// samples land on.
struct FoldedStacks {
  std::map<Address, int> nameOfAddress;  // -> index in names
  std::map<std::string, int> nameIndex;  // name -> index in names
  std::vector<std::string> names;
  // Thread id and frame names from the innermost out -> samples.
  std::map<std::pair<DWORD, std::vector<int>>, int> counts;
  // The stack being counted, kept so that its room serves every sample.
  std::pair<DWORD, std::vector<int>> inHand;
};

// Counts one sample of thread tid of the process, naming what is new.
void CountStack(const ExaminedProcess& process, DWORD tid, const std::vector<FoundFrame>& found,
                FoldedStacks* stacks);

// Forgets the names of addresses that lay outside every module when they
// were named (a module registered since may hold them) and of addresses in
// a module dropped since (unloaded or replaced), so that they are named
// again.
void ForgetStaleNames(FoldedStacks* stacks, const std::vector<ModuleRange>& dropped);

// Prints one line per distinct stack in the folded format: the image name,
// the thread id and the frames from the outermost in, joined by ';', then a
// space and the count. Lines are ordered by count, highest first, then by
// their text.
void PrintFoldedStacks(const ImageText& image, const FoldedStacks& stacks);

#endif
