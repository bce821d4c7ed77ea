#ifndef THREADSIFT_SYM_FOLDED_STACKS_H
#define THREADSIFT_SYM_FOLDED_STACKS_H

#include <windows.h>

#include <map>
#include <utility>
#include <vector>

#include "sym/AddressWidth.h"
#include "sym/ProcessSnapshot.h"
#include "sym/ThreadWalk.h"

// The stacks a sampling run saw: each thread's distinct stacks, by their
// program counters from the innermost frame out, with how often each was
// seen. Addresses are named only when the report is printed, each once.
typedef std::pair<DWORD, std::vector<Address>> ThreadStack;
typedef std::map<ThreadStack, int> SampledStacks;

// Counts one sample of thread tid.
void CountStack(DWORD tid, const std::vector<FoundFrame>& found, SampledStacks* stacks);

// Prints one line per distinct stack in the folded format: the image name,
// the thread id and the frames from the outermost in, joined by ';', then a
// space and the count. Stacks that name the same frames are one line. Lines
// are ordered by count, highest first, then by their text.
void PrintFoldedStacks(HANDLE process, const ImageText& image, const SampledStacks& stacks);

#endif
