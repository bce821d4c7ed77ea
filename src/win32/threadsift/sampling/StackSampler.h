#ifndef THREADSIFT_STACK_SAMPLER_H
#define THREADSIFT_STACK_SAMPLER_H

class ReportSink;

// The intervals between samples that -i accepts, in milliseconds, and its default.
const int kDefaultSampleInterval = 10;
const int kMaxSampleInterval = 10000;
// The most samples -s takes.
const int kMaxSamples = 1000000;

// Samples the stacks of every thread of process pid (or of thread tid alone)
// `samples` times, intervalMs apart, each thread held only while its
// registers and stack are copied, and prints the process header line, the
// stacks counted in the folded format and a summary line. A break key ends
// the sampling after the sample in hand. When the process ends (or a thread
// cannot be resumed) before the last sample, what was gathered is printed,
// then the lines of the failure. False after a failure.
bool SampleProcess(ReportSink& report, int pid, int tid, int samples, int intervalMs);

#endif
