#ifndef TESTS_UNIT_PICTURES_MANY_STACKS_H
#define TESTS_UNIT_PICTURES_MANY_STACKS_H

#include <string>

#include "threadsift/pictures/SampleFile.h"
#include "threadsift/sampling/FoldedStacks.h"

// The stacks a long sampling of a busy process leaves: each of `threads`
// threads in `distinct` stacks of `depth` frames that share their outer
// third and then part, half of them nine times as busy as the rest, with
// samplesPerThread samples a thread. Names are long, some with markup in
// them, and the innermost frames are the platform's.
FoldedStacks ManyStacks(int threads, int distinct, int depth, int samplesPerThread);

// What a run of a million samples of 64 such threads, 1 ms apart, took, its
// names converted by the active machine.
SamplesTaken MillionSamplesTaken(const FoldedStacks& stacks);

#endif
