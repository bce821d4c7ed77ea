#ifndef THREADSIFT_KEPT_WALK_H
#define THREADSIFT_KEPT_WALK_H

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "threadsift/base/Bitness.h"
#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/thread/StackCopy.h"

// What a walk read of its thread's stack copy: each read's address and
// length, and their bytes in turn. A walk is the same as long as its
// registers and these bytes are. It is not known to be the same (the notes
// are not complete) once it read anything else (memory outside the copy and
// the listed modules, or a read that failed) or more than kMaxNotedReads
// reads or kMaxNotedBytes bytes.
struct WalkReads {
  std::vector<std::pair<Address, DWORD>> spans;
  std::string bytes;
  bool complete = true;
};
const size_t kMaxNotedReads = 1024;
const size_t kMaxNotedBytes = 16384;

// A sampled thread's last walk: the registers it started from, what it read,
// and the frames it found. A thread that waits shows the same registers and
// the same stack in sample after sample: its frames are taken from here
// instead of being found again. Only a walk of at most kMaxKeptFrames frames
// whose reads are all noted is kept, so that a kept walk stays small.
struct KeptWalk {
  bool kept = false;
  WalkContext context;
  WalkReads reads;
  std::vector<FoundFrame> frames;
};
const size_t kMaxKeptFrames = 256;

// Notes one read of the walk: served whole by the stack copy (kept, with
// its bytes), or by a listed module's pages that the walk keeps for the run.
void NoteWalkRead(const ExaminedProcess& process, const StackCopy& copy, Address address, DWORD size, BOOL ok,
                  DWORD done, WalkReads* reads);

// True when a walk from these registers over this stack copy would find the
// kept frames: the same registers, and the same bytes at every place the
// kept walk read.
bool SameWalk(const KeptWalk& kept, const WalkContext& context, const StackCopy& copy);

#endif
