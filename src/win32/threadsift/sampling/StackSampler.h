#ifndef THREADSIFT_STACK_SAMPLER_H
#define THREADSIFT_STACK_SAMPLER_H

#include <vector>

#include "threadsift/base/Bitness.h"

class ReportSink;

// The intervals between samples that -i accepts, in milliseconds, and its default.
const int kDefaultSampleInterval = 10;
const int kMaxSampleInterval = 10000;
// The most samples -s takes.
const int kMaxSamples = 1000000;

// What a sampling run is asked for.
struct SamplingRequest {
  int tid;
  int samples;
  int intervalMs;
  // The files the samples are written to, each in the form its name ends
  // with; none to print them folded.
  std::vector<const char*> outputPaths;
  const char* version;    // the tool's, as a file says who made it
  LineLookup lineLookup;  // for the source lines a file tells, or null
};

// Samples the stacks of every thread of process pid (or of thread tid alone)
// `samples` times, intervalMs apart, each thread held only while its
// registers and stack are copied, and prints the process header line, the
// stacks counted in the folded format (or writes them to the files, and
// says so) and a summary line. A file that cannot be made is said before
// any sample is taken. A break key ends the sampling after the sample in hand.
// When the process ends (or a thread cannot be resumed) before the last
// sample, what was gathered is printed or written, then the lines of the
// failure. False after a failure.
bool SampleProcess(ReportSink& report, int pid, const SamplingRequest& request);

#endif
