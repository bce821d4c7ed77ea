#ifndef THREADSIFT_SAMPLE_FILE_H
#define THREADSIFT_SAMPLE_FILE_H

#include <string>
#include <vector>

#include "threadsift/base/Utf8Text.h"
#include "threadsift/pictures/SampleFileForm.h"
#include "threadsift/sampling/FoldedStacks.h"

// What a sampling run took, as its files tell it.
struct SamplesTaken {
  ImageText image;
  int pid = 0;
  int samples = 0;    // taken
  int requested = 0;  // asked for
  int intervalMs = 0;
  int threads = 0;           // seen
  bool interrupted = false;  // a break key ended the sampling
  const FoldedStacks* stacks = nullptr;
  // The stacks' names in UTF-8, in the order of theirs.
  std::vector<std::string> names;
};

// The stacks' names in UTF-8.
std::vector<std::string> Utf8Names(const FoldedStacks& stacks);

// The file's text in form, and, for a flame graph, the frames too narrow to
// see that it merged into their callers.
struct SampleFileText {
  std::string text;
  int merged = 0;
};
SampleFileText MakeSampleFile(SampleFileForm form, const SamplesTaken& taken, const char* version);

// The folded lines in UTF-8.
std::string MakeFoldedFile(const SamplesTaken& taken);

#endif
