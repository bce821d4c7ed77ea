#ifndef THREADSIFT_SNAPSHOT_LAYOUT_H
#define THREADSIFT_SNAPSHOT_LAYOUT_H

#include <cstddef>

// Byte offsets in the system process snapshot (information class 5): a chain
// of process records, each followed by its thread records.
const unsigned long kSystemProcessInformation = 5;

const size_t kProcessNextOffset = 0;
const size_t kProcessThreadCountOffset = 4;
// When the process was created, in 100 ns units: tells a process from a
// later one that took over its id.
const size_t kProcessCreateTimeOffset = 32;

// A thread's kernel and user time so far, in 100 ns units, at the start of
// each thread record on both layouts.
const size_t kThreadKernelTimeOffset = 0;
const size_t kThreadUserTimeOffset = 8;
// When the thread was created: tells a thread from a later one that took
// over its id.
const size_t kThreadCreateTimeOffset = 16;

#if defined(_WIN64)
const size_t kProcessImageNameOffset = 64;  // pointer to UTF-16 text, or null
const size_t kProcessIdOffset = 80;         // pointer-sized; the id is its low 32 bits
// Where the thread records begin does not depend on the platform's version.
const bool kThreadsOffsetFollowsVersion = false;
const size_t kProcessThreadsOffset = 256;
const size_t kProcessThreadsOffsetNt4 = kProcessThreadsOffset;
const size_t kThreadRecordSize = 80;
const size_t kThreadIdOffset = 48;
#else
const size_t kProcessImageNameOffset = 60;
const size_t kProcessIdOffset = 68;
const bool kThreadsOffsetFollowsVersion = true;
const size_t kProcessThreadsOffsetNt4 = 136;  // major version 4 or lower
const size_t kProcessThreadsOffset = 184;     // major version 5 and later
const size_t kThreadRecordSize = 64;
const size_t kThreadIdOffset = 36;
#endif

#endif
