#ifndef THREADSIFT_SPEEDSCOPE_FILE_H
#define THREADSIFT_SPEEDSCOPE_FILE_H

#include <string>

#include "threadsift/pictures/SampleFile.h"

// The samples as a file of the speedscope viewer: one sampled profile a
// thread, its samples in time order (a run of samples with one stack in a
// row is one sample weighing the run's milliseconds; a run in which the
// thread could not be caught, one with no frames), the frames shared, each
// with its source file and line where the symbols know them. The stacks
// must have kept their timelines.
std::string MakeSpeedscopeFile(const SamplesTaken& taken, const char* version);

#endif
