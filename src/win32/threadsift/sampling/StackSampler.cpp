#include <windows.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "threadsift/sampling/FoldedStacks.h"
#include "threadsift/base/Interrupt.h"
#include "threadsift/pictures/SampleFiles.h"
#include "threadsift/process/ProcessSession.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/base/ScopedHandle.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/sampling/StackSampler.h"
#include "threadsift/unwind/StackUnwind.h"
#include "threadsift/thread/ThreadCpu.h"
#include "threadsift/thread/ThreadHold.h"
#include "threadsift/thread/ThreadOpen.h"

namespace {

// The wait between samples is cut into steps this long at most, so that a
// break key ends a long interval early.
const DWORD kWaitStepMs = 50;
const ULONGLONG kTicksPerMicrosecond = 10;  // of 100 ns
// The modules are listed again at most this often (100 ns units).
const ULONGLONG kRelistTicks = 1000 * kClockTicksPerMillisecond;
// The threads are listed again this often (100 ns units): a listing reads
// the whole system's, which costs more than sampling many threads.
const ULONGLONG kRelistThreadsTicks = 100 * kClockTicksPerMillisecond;

struct SamplingSettings {
  int tid;
  int samples;
  int intervalMs;
  const char* version;
  SampleFiles* files;  // none to print the folded lines
};

// Why the sampling ended before its last sample, if it did.
enum SamplingEnd { AllTaken, ProcessGone, ListFailed, ThreadNotResumed };

// What the samples gathered.
struct Gathered {
  FoldedStacks stacks;
  int samples = 0;
  std::set<DWORD> threadsSeen;
  ULONGLONG longestHold = 0;  // 100 ns units
  int misses = 0;
  SamplingEnd end = AllTaken;
  DWORD endError = 0;
  DWORD endThread = 0;
};

// When the modules were last listed again: by the clock of the sample that
// did, or by its nominal start where there is no clock.
struct ModuleWatch {
  bool relisted = false;
  ULONGLONG relistedAt = 0;
  ULONGLONG startedAt = 0;  // the first sample's start, on the same scale
  ULONGLONG now = 0;        // the start of the sample in hand
};

// The modules are listed again a second after the last listing (a module
// may have been unloaded, or replaced by another at its addresses), and
// before that once, at the first frame outside every registered module (it
// may lie in a module loaded since the sampling began; without its unwind
// data, stacks through it are cut). What is gone is dropped and what is new
// registered before the frames are named. True when they were listed again.
bool WatchModules(ExaminedProcess& process, const std::vector<FoundFrame>& found, ModuleWatch* watch,
                  FoldedStacks* stacks) {
  ULONGLONG since = watch->now - (watch->relisted ? watch->relistedAt : watch->startedAt);
  if (since < kRelistTicks) {
    if (watch->relisted) return false;
    bool outside = false;
    for (const FoundFrame& frame : found) outside = outside || FindModule(process.modules, frame.pc) < 0;
    if (!outside) return false;
  }
  watch->relisted = true;
  watch->relistedAt = watch->now;
  std::vector<ModuleRange> dropped;
  if (RelistModules(process, &dropped)) ForgetStaleNames(stacks, dropped);
  return true;
}

// A thread kept open from one sample to the next, with what is known of
// its stack (it stays where it was for as long as the thread lives) and its
// last walk.
struct OpenedThread {
  std::unique_ptr<ScopedHandle> handle;
  ULONGLONG created;
  KnownStack stack;
  KeptWalk walk;
};
typedef std::map<DWORD, OpenedThread> OpenedThreads;

// A walk steps through the unwind data of the modules registered when it
// was made: once they have been listed again, every thread is walked anew.
void ForgetKeptWalks(OpenedThreads* opened) {
  for (auto& entry : *opened) entry.second.walk.kept = false;
}

// The threads as last listed, and when. They are listed again every
// kRelistThreadsTicks (a thread started since is sampled from then on) and
// before the sample after one in which a thread could not be held (it, or
// the process, may have ended).
struct ThreadListing {
  ThreadList threads;
  ULONGLONG listedAt = 0;
  bool stale = false;
};

// The opened thread for a listed thread: opened, and its stack base read,
// the first time, and again when its id has since been taken over by a
// thread created later. A base that could not be read is read again. Null
// when it cannot be opened.
OpenedThread* OpenedFor(const ExaminedProcess& process, const ThreadRecord& thread, OpenedThreads* opened) {
  OpenedThreads::iterator known = opened->find(thread.tid);
  if (known != opened->end() && known->second.created == thread.created) {
    KnownStack& stack = known->second.stack;
    if (stack.base == 0) stack.base = StackBaseOf(process.handle, known->second.handle->Get(), process.width);
    return &known->second;
  }
  if (known != opened->end()) opened->erase(known);
  const char* failedCall = "";
  HANDLE handle = OpenThreadQuietly(kThreadAllAccess, (DWORD)process.pid, thread.tid, &failedCall);
  if (handle == NULL) return NULL;
  OpenedThread& entry = (*opened)[thread.tid];
  entry.handle.reset(new ScopedHandle(handle));
  entry.created = thread.created;
  entry.stack.base = StackBaseOf(process.handle, handle, process.width);
  return &entry;
}

// Closes the threads that the latest list no longer holds: they have ended.
void CloseEnded(const ThreadList& threads, OpenedThreads* opened) {
  std::set<DWORD> listed;
  for (const ThreadRecord& thread : threads) listed.insert(thread.tid);
  for (OpenedThreads::iterator it = opened->begin(); it != opened->end();) {
    it = listed.count(it->first) != 0 ? std::next(it) : opened->erase(it);
  }
}

// What one thread's sample is taken with, kept from sample to sample so
// that their room serves every one: the frames found and the hold (with
// its stack copy).
struct SampleRoom {
  std::vector<FoundFrame> found;
  ThreadHold hold;
};

enum SampleOutcome { SampleTaken, AllEnded, ThreadNotResumedInSample };

// Samples each selected thread once. A thread that cannot be opened,
// suspended or read is a miss, unless it has ended; either way the threads
// are listed again before the next sample, and one that was open is closed,
// to be opened afresh if it is listed still. AllEnded when every thread
// tried had ended (the process may have): the sample is then taken again
// from a new list. ThreadNotResumedInSample when a thread could
// not be resumed: the sampling ends there.
SampleOutcome TakeSample(ExaminedProcess& process, int tid, ThreadListing* listing, OpenedThreads* opened,
                         SampleRoom* room, ModuleWatch* watch, Gathered* gathered) {
  int pid = process.pid;
  std::vector<FoundFrame>* found = &room->found;
  bool ended = false, alive = false;
  for (const ThreadRecord& thread : listing->threads) {
    if (!IsSelected(pid, tid, thread.tid)) continue;
    gathered->threadsSeen.insert(thread.tid);
    OpenedThread* entry = OpenedFor(process, thread, opened);
    if (entry == NULL) {
      ++gathered->misses;
      listing->stale = true;
      alive = true;
      continue;
    }
    ULONGLONG held = 0;
    CaptureOutcome outcome =
        CaptureThread(process, entry->handle->Get(), &entry->stack, &entry->walk, &room->hold, found, &held);
    if (held > gathered->longestHold) gathered->longestHold = held;
    if (outcome == ResumeRefused) {
      gathered->end = ThreadNotResumed;
      gathered->endError = GetLastError();
      gathered->endThread = thread.tid;
      return ThreadNotResumedInSample;
    }
    if (outcome == Missed) {
      bool hasEnded = HasEnded(entry->handle->Get());
      ended = ended || hasEnded;
      alive = alive || !hasEnded;
      if (!hasEnded) ++gathered->misses;
      listing->stale = true;
      opened->erase(thread.tid);
    } else {
      alive = true;
      if (WatchModules(process, *found, watch, &gathered->stacks)) ForgetKeptWalks(opened);
      CountStack(process, thread.tid, gathered->samples, *found, &gathered->stacks);
    }
  }
  return ended && !alive ? AllEnded : SampleTaken;
}

// Waits, with no thread held, until intervalMs have passed since the
// previous sample began (at once when they have), so that samples begin
// intervalMs apart however long each takes; without a clock, waits the
// whole interval. False when a break key ended the wait.
bool WaitForNextSample(bool clocked, ULONGLONG previousStart, int intervalMs) {
  ULONGLONG due = previousStart + (ULONGLONG)intervalMs * kClockTicksPerMillisecond;
  DWORD left = (DWORD)intervalMs;
  while (g_interrupted == 0) {
    ULONGLONG now = 0;
    if (clocked) {
      clocked = ReadClock(&now);
      if (clocked) {
        left = now >= due ? 0 : (DWORD)((due - now + kClockTicksPerMillisecond - 1) / kClockTicksPerMillisecond);
      }
    }
    if (left == 0) break;
    DWORD step = left < kWaitStepMs ? left : kWaitStepMs;
    Sleep(step);
    left -= step;
  }
  return g_interrupted == 0;
}

// Lists the threads of the process again, closing those that have ended;
// false, with the reason kept, when the process has left the snapshot or
// the snapshot fails.
bool ListThreads(int pid, ULONGLONG now, ThreadListing* listing, OpenedThreads* opened, Gathered* gathered) {
  ProcessThreads listed;
  SnapshotOutcome outcome = SnapshotProcess(NULL, (DWORD)pid, &listed);
  listing->threads.swap(listed.threads);
  listing->listedAt = now;
  listing->stale = false;
  CloseEnded(listing->threads, opened);
  if (outcome == ProcessListed) return true;
  gathered->end = outcome == ProcessAbsent ? ProcessGone : ListFailed;
  gathered->endError = GetLastError();
  return false;
}

bool ListingDue(const ThreadListing& listing, ULONGLONG now) {
  return listing.stale || now - listing.listedAt >= kRelistThreadsTicks;
}

void Sample(ExaminedProcess& process, const SamplingSettings& settings, ThreadList threads, Gathered* gathered) {
  int pid = process.pid;
  SampleRoom room;
  room.found.reserve(kUsualFrames);
  OpenedThreads opened;
  ModuleWatch watch;
  ThreadListing listing;
  listing.threads.swap(threads);
  ULONGLONG start = 0;
  bool clocked = false;
  for (int sample = 0; sample < settings.samples; ++sample) {
    if (sample > 0 && !WaitForNextSample(clocked, start, settings.intervalMs)) break;
    clocked = ReadClock(&start);
    watch.now = clocked ? start : (ULONGLONG)sample * (ULONGLONG)settings.intervalMs * kClockTicksPerMillisecond;
    if (sample == 0) watch.startedAt = listing.listedAt = watch.now;
    if (sample > 0 && ListingDue(listing, watch.now) && !ListThreads(pid, watch.now, &listing, &opened, gathered)) {
      break;
    }
    SampleOutcome outcome = TakeSample(process, settings.tid, &listing, &opened, &room, &watch, gathered);
    if (outcome == AllEnded) {
      if (!ListThreads(pid, watch.now, &listing, &opened, gathered)) break;
      outcome = TakeSample(process, settings.tid, &listing, &opened, &room, &watch, gathered);
    }
    if (outcome == ThreadNotResumedInSample) {
      // The stacks it took before a thread could not be resumed are counted,
      // and so is the sample: no thread's count passes the samples'.
      ++gathered->samples;
      break;
    }
    ++gathered->samples;
    if (g_interrupted != 0) break;
  }
}

void PrintSummary(const Gathered& gathered) {
  printf("%d sample(s), %d thread(s) seen, longest hold %u us, %d miss(es)\n", gathered.samples,
         (int)gathered.threadsSeen.size(), (unsigned)(gathered.longestHold / kTicksPerMicrosecond), gathered.misses);
}

// The lines of what ended the sampling early, as the walk prints them.
// False after such an end.
bool ReportEnd(ReportSink& report, int pid, const Gathered& gathered) {
  switch (gathered.end) {
    case AllTaken:
      return true;
    case ThreadNotResumed:
      printf("ResumeThread error %d\n", (int)gathered.endError);
      printf("WalkThread %d error %d\n", (int)gathered.endThread, (int)gathered.endError);
      return false;
    case ListFailed:
      printf("GetRawNtSystemInfo error %d\n", (int)gathered.endError);
      break;
    case ProcessGone:
      break;
  }
  SetLastError(gathered.endError);
  return ReportMissingThreadList(report, pid);
}

// Writes the samples to every file asked for. False when any could not be
// written.
bool WriteSamples(ReportSink& report, const SamplingSettings& settings, const ImageText& image, int pid,
                  const Gathered& gathered) {
  SamplesTaken taken;
  taken.image = image;
  taken.pid = pid;
  taken.samples = gathered.samples;
  taken.requested = settings.samples;
  taken.intervalMs = settings.intervalMs;
  taken.threads = (int)gathered.threadsSeen.size();
  taken.interrupted = g_interrupted != 0;
  taken.stacks = &gathered.stacks;
  taken.names = Utf8Names(gathered.stacks);
  return settings.files->Write(report, taken, settings.version);
}

// The part of a sampling run that runs with the symbol handler started.
bool SampleWithSymbols(ExaminedProcess& process, ReportSink& report, const SamplingSettings& settings,
                       bool* complete) {
  int pid = process.pid;
  // The first sample takes the threads that the header line counts.
  ProcessThreads listed;
  if (!ListProcessThreads(report, pid, &listed)) return ReportMissingThreadList(report, pid);
  printf("\n");
  // The modules are registered for the unwinding and the names, not listed.
  ModuleTableOutcome outcome = PrepareToHoldThreads(process, report, false);
  if (outcome == Failed) return false;
  if (outcome == SymbolLoadFailed) return true;
  ReadModuleTimeStamps(process);
  Gathered gathered;
  if (!settings.files->Empty()) {
    gathered.stacks.keepsTimelines = settings.files->Writes(SpeedscopeForm);
    gathered.stacks.platformFolder = FindPlatformFolder();
  }
  Sample(process, settings, listed.threads, &gathered);
  bool written = true;
  if (settings.files->Empty()) {
    PrintFoldedStacks(listed.image, gathered.stacks);
  } else {
    written = WriteSamples(report, settings, listed.image, pid, gathered);
  }
  printf("\n");
  PrintSummary(gathered);
  *complete = true;
  return ReportEnd(report, pid, gathered) && written;
}

}  // namespace

bool SampleProcess(ReportSink& report, int pid, const SamplingRequest& request) {
  SampleFiles files;
  if (!files.Create(report, request.outputPaths)) return false;
  SamplingSettings settings = {request.tid, request.samples, request.intervalMs, request.version, &files};
  auto work = [&](ExaminedProcess& process, bool* complete) {
    return SampleWithSymbols(process, report, settings, complete);
  };
  // The folded stacks name frames without their source lines; the speedscope
  // file tells where each routine begins.
  LineLookup lines = files.Writes(SpeedscopeForm) ? request.lineLookup : NULL;
  return WithSymbolHandler(report, pid, lines, NULL, work);
}
