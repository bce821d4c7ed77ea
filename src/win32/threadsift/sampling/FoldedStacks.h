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
// What the pictures of the samples tell of a named frame beside its name:
// the module that holds it (empty outside every module), whether that is
// one of the platform's, and where its routine begins in its source file,
// where the symbols say.
struct FrameOrigin {
  std::string module;
  bool platform = false;
  std::string file;
  unsigned line = 0;
};

// Thread id and frame names (indexes in names) from the innermost out.
typedef std::pair<DWORD, std::vector<int>> StackKey;

// A distinct stack's samples, and its number: the order it was first seen in.
struct CountedStack {
  int count;
  int id;
};

// A run of one thread's samples in a row that found the same stack (by its
// number), or kNotSampled where the thread could not be caught.
const int kNotSampled = -1;
struct SampleRun {
  int stack;
  int length;
};

// One thread's samples in time order, from the first that found it.
struct ThreadTimeline {
  int firstSample = 0;
  int nextSample = 0;  // the sample after the last one counted
  std::vector<SampleRun> runs;
};

struct FoldedStacks {
  std::map<Address, int> nameOfAddress;  // -> index in names
  std::map<std::string, int> nameIndex;  // name -> index in names
  std::vector<std::string> names;
  std::vector<FrameOrigin> origins;  // of each name
  std::map<StackKey, CountedStack> counts;
  std::vector<const StackKey*> stackOfId;  // the keys of counts, by number
  // Kept only for a file in time order: their size grows with the samples
  // wherever the stacks change, where the counts grow with the distinct stacks.
  bool keepsTimelines = false;
  std::map<DWORD, ThreadTimeline> timelines;
  // The folder of the platform's modules (the system folder's parent).
  std::string platformFolder;
  // The stack being counted, kept so that its room serves every sample.
  StackKey inHand;
};

// Counts sample number `sample` of thread tid of the process, naming what is new.
void CountStack(const ExaminedProcess& process, DWORD tid, int sample, const std::vector<FoundFrame>& found,
                FoldedStacks* stacks);

// The platform's folder, where its modules lie: the system folder's parent.
// Empty when the platform does not say.
std::string FindPlatformFolder();

// Forgets the names of addresses that lay outside every module when they
// were named (a module registered since may hold them) and of addresses in
// a module dropped since (unloaded or replaced), so that they are named
// again.
void ForgetStaleNames(FoldedStacks* stacks, const std::vector<ModuleRange>& dropped);

// Each distinct stack as the folded format shows it after the image name:
// the thread id and the frames from the outermost in, joined by ';', with
// its count; the frames' texts are taken from names (the stacks' names, or
// those names in another encoding). Ordered by count, highest first, then
// by their text.
std::vector<std::pair<std::string, int>> FoldedStackTexts(const FoldedStacks& stacks,
                                                          const std::vector<std::string>& names);

// The image name as the folded lines begin with it.
ImageText FoldableImage(const ImageText& image);

// Prints one line per distinct stack in the folded format: the image name,
// then ';', the stack's text, a space and its count.
void PrintFoldedStacks(const ImageText& image, const FoldedStacks& stacks);

#endif
