#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>

#include "common/TargetMemory.h"
#include "threadsift/ReportSink.h"
#include "threadsift/ScopedHandle.h"
#include "threadsift/SectionLayout.h"
#include "threadsift/StackCopy.h"
#include "threadsift/ThreadOpen.h"
#include "threadsift/WaitChain.h"
#include "threadsift/WaitedObject.h"

namespace {

enum FrameKind { EntryFrame, WaitFrame, OtherFrame };

struct RoutineName {
  const char* name;
  FrameKind kind;
};

// The routines of a thread that waits to enter a critical section, by the
// names the platform's versions give them; the innermost frames of such a
// thread are wait routines (or the platform's unnamed stubs), then the entry
// routine.
const RoutineName kSectionWaitRoutines[] = {
    // Every version: the native entry routine, and the kernel's name for it.
    {"RtlEnterCriticalSection", EntryFrame},
    {"EnterCriticalSection", EntryFrame},
    // NT 4.0 and 2000 (and Wine): the wait routine, then the wait on the
    // section's event, through the system-call stub on XP and 2003.
    {"RtlpWaitForCriticalSection", WaitFrame},
    {"NtWaitForSingleObject", WaitFrame},
    {"ZwWaitForSingleObject", WaitFrame},
    {"KiFastSystemCallRet", WaitFrame},
    {"KiFastSystemCall", WaitFrame},
    // Vista and later: the contended path, waiting on a keyed event or, since
    // Windows 8, on the section's address.
    {"RtlpEnterCriticalSectionContended", WaitFrame},
    {"RtlpWaitOnCriticalSection", WaitFrame},
    {"NtWaitForKeyedEvent", WaitFrame},
    {"ZwWaitForKeyedEvent", WaitFrame},
    {"RtlpWaitOnAddress", WaitFrame},
    {"RtlpWaitOnAddressWithTimeout", WaitFrame},
    {"NtWaitForAlertByThreadId", WaitFrame},
    {"ZwWaitForAlertByThreadId", WaitFrame},
    // Wine: its wait routine waits on the section's address.
    {"RtlWaitOnAddress", WaitFrame},
};

// Deeper than this many frames the entry routine is not part of a wait.
const size_t kMaxWaitFrames = 12;
// The entry routine takes the section as its one argument.
const Address kEntryArgumentWords = 1;
// How far above the entry routine's own stack address its return address
// is looked for at least (up to the caller's stack address where that lies
// higher): a walk of frames without the layout it assumes may place that
// address below the return address.
const Address kEntryFrameReach = 0x1000;
// Wait frames are a few hundred bytes; a range larger than this is not them.
const Address kMaxWaitFrameBytes = 0x10000;
// No section lies in the lowest 64 KB, which the platform never maps.
const UINT_PTR kLowestSection = 0x10000;

// What the frame at pc is to a section wait: a symbol-less frame (the
// platform's stubs) counts as a wait routine.
FrameKind KindOfFrame(const ExaminedProcess& process, Address pc) {
  std::string plain;
  if (!PlainRoutineOfFrame(process, pc, &plain)) return WaitFrame;
  for (const RoutineName& routine : kSectionWaitRoutines) {
    if (plain == routine.name) return routine.kind;
  }
  return OtherFrame;
}

// The index of the outermost entry routine of a section wait that begins at
// the innermost frame; false when the frames are not such a wait.
bool FindEntryFrame(const ExaminedProcess& process, const std::vector<FoundFrame>& found, size_t* entry) {
  bool seen = false;
  for (size_t i = 0; i < found.size() && i < kMaxWaitFrames; ++i) {
    FrameKind kind = KindOfFrame(process, found[i].pc);
    if (kind == EntryFrame) {
      *entry = i;
      seen = true;
    } else if (seen || kind == OtherFrame) {
      break;
    }
  }
  return seen;
}

// The end of the wait frames: just past the entry routine's argument words,
// which lie above its return address. That address is the first word at or
// above the entry routine's stack address (and the stack pointer) that
// holds the address its caller resumes at.
bool EndOfWaitFrames(ProcessWidth width, const StackCopy& stack, const std::vector<FoundFrame>& found, size_t entry,
                     Address* end) {
  if (entry + 1 >= found.size()) return false;
  Address wordSize = WordSizeOf(width);
  Address from = std::max(found[entry].stack, found[0].stack);
  Address limit = std::max(found[entry + 1].stack, from + kEntryFrameReach);
  for (Address at = from; at < limit; at += wordSize) {
    Address word = 0;
    if (!CopiedWord(stack, at, width, &word)) return false;
    if (word == found[entry + 1].pc) {
      *end = at + wordSize * (1 + kEntryArgumentWords);
      return true;
    }
  }
  return false;
}

// The bytes of a section, and where in it the platform's wait routines of
// Wine and of current systems wait (an address inside the section, which
// their frames hold), in a process of width.
Address SectionSize(ProcessWidth width) {
  return width == kToolWidth ? sizeof(SectionImage) : sizeof(SectionImage32);
}

Address WaitAddressOffset(ProcessWidth width) {
  return width == kToolWidth ? offsetof(SectionImage, lockSemaphore) : offsetof(SectionImage32, lockSemaphore);
}

// Reads the section at address of a process of width into the tool's own
// layout.
bool ReadSection(const ExaminedProcess& process, Address address, SectionImage* image) {
  if (process.width == kToolWidth) return ReadTargetMemory(process.handle, address, image, sizeof(*image));
  SectionImage32 narrow;
  if (!ReadTargetMemory(process.handle, address, &narrow, sizeof(narrow))) return false;
  image->debugInfo = narrow.debugInfo == kNoSectionDebugRecord32 ? kNoSectionDebugRecord : narrow.debugInfo;
  image->lockCount = narrow.lockCount;
  image->recursionCount = narrow.recursionCount;
  image->owningThread = narrow.owningThread;
  image->lockSemaphore = narrow.lockSemaphore;
  image->spinCount = narrow.spinCount;
  return true;
}

// The section a debug record at address points back at, in a process of
// width; false when it may not or cannot be read.
bool ReadRecordSection(const ExaminedProcess& process, const StackCopy& stack, Address record, Address* section) {
  bool tool = process.width == kToolWidth;
  size_t size = tool ? sizeof(SectionDebugImage) : sizeof(SectionDebugImage32);
  Address field = tool ? offsetof(SectionDebugImage, criticalSection) : offsetof(SectionDebugImage32, criticalSection);
  return MayReadTarget(process.handle, stack, record, size) &&
         ReadTargetWord(process.handle, record + field, WordSizeOf(process.width), section);
}

// True when the lock count says a thread waits for the section: counted up
// from -1 by each thread that enters or waits (up to XP, and Wine), or, on
// later systems, down from -1 in steps of 4 for each waiter, with its lowest
// bit clear while the section is held.
bool ShowsWaiter(LONG lockCount) {
  if (lockCount >= 1) return true;
  return lockCount < -1 && (lockCount & 1) == 0 && ((~(ULONG)lockCount) >> 2) >= 1;
}

// True when the section's fields say another thread than waiter holds it
// while a thread waits for it: the owner a thread id, not the waiter's,
// entered at least once, and the lock count showing a waiter.
bool HeldByAnother(const SectionImage& image, DWORD waiter, DWORD* owner) {
  if (image.owningThread == 0 || image.owningThread > 0xFFFFFFFFu || image.owningThread == waiter) return false;
  if (image.recursionCount < 1 || !ShowsWaiter(image.lockCount)) return false;
  *owner = (DWORD)image.owningThread;
  return true;
}

// True when the memory at address reads as a section that another thread
// holds and, where it has a debug record, whose record points back at it.
bool IsSectionHeldByAnother(const ExaminedProcess& process, const StackCopy& stack, Address address, DWORD waiter) {
  SectionImage image;
  DWORD owner = 0;
  if (!MayReadTarget(process.handle, stack, address, (size_t)SectionSize(process.width)) ||
      !ReadSection(process, address, &image) || !HeldByAnother(image, waiter, &owner)) {
    return false;
  }
  if (image.debugInfo == 0 || image.debugInfo == kNoSectionDebugRecord) return true;
  Address recorded = 0;
  return ReadRecordSection(process, stack, image.debugInfo, &recorded) && recorded == address;
}

// A section that the wait frames point at: its address, whether they hold
// the address a wait on it waits at, how many of their words point at it or
// into it, and the first of those words.
struct Candidate {
  Address section;
  bool waitedAt;
  unsigned votes;
  size_t innermost;
};

bool Inside(Address word, Address section, ProcessWidth width) {
  return word >= section && word - section < SectionSize(width);
}

bool IsCandidate(const std::vector<Candidate>& candidates, Address address) {
  for (const Candidate& c : candidates) {
    if (c.section == address) return true;
  }
  return false;
}

// Counts the words that point at or into each candidate, and notes the
// candidates waited at. A word that addresses a candidate is that
// candidate's, not a wait address in another (an object whose section lies
// where its head's wait address would).
void CountVotes(ProcessWidth width, const std::vector<Address>& words, std::vector<Candidate>* candidates) {
  for (Candidate& c : *candidates) {
    c.waitedAt = false;
    c.votes = 0;
    c.innermost = words.size();
    Address waitAddress = c.section + WaitAddressOffset(width);
    bool waitAddressIsASection = IsCandidate(*candidates, waitAddress);
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i] == waitAddress && !waitAddressIsASection) c.waitedAt = true;
      if (!Inside(words[i], c.section, width)) continue;
      ++c.votes;
      c.innermost = std::min(c.innermost, i);
    }
  }
}

// Every candidate that reads as a section held by another thread while a
// thread waits for it. One inside another is kept: which of them is the
// section is for the choice to tell.
std::vector<Candidate> HeldCandidates(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                                      const std::vector<Address>& words) {
  std::vector<Address> distinct;
  for (Address word : words) {
    if (word < kLowestSection || word % WordSizeOf(process.width) != 0) continue;
    if (std::find(distinct.begin(), distinct.end(), word) == distinct.end()) distinct.push_back(word);
  }
  std::vector<Candidate> candidates;
  for (Address word : distinct) {
    if (IsSectionHeldByAnother(process, stack, word, tid)) candidates.push_back(Candidate{word, false, 0, 0});
  }
  return candidates;
}

// True when a is the better choice than b: the one whose wait address the
// frames hold (it tells a section from an object around it, or from a field
// of it that happens to read as one); then the one pointed at most often;
// then the one pointed at nearest the stack pointer, written last.
bool Better(const Candidate& a, const Candidate& b) {
  if (a.waitedAt != b.waitedAt) return a.waitedAt;
  if (a.votes != b.votes) return a.votes > b.votes;
  return a.innermost < b.innermost;
}

bool ChooseSection(ProcessWidth width, std::vector<Candidate>* candidates, const std::vector<Address>& words,
                   Address* section) {
  if (candidates->empty()) return false;
  CountVotes(width, words, candidates);
  const Candidate* best = &(*candidates)[0];
  for (const Candidate& c : *candidates) {
    if (Better(c, *best)) best = &c;
  }
  *section = best->section;
  return true;
}

// The holder of section as its fields say now, while a thread waits for it;
// false when they no longer say that another than waiter holds it.
bool ReadHolder(const ExaminedProcess& process, Address section, DWORD waiter, DWORD* owner) {
  SectionImage image;
  return ReadSection(process, section, &image) && HeldByAnother(image, waiter, owner);
}

// Whether thread tid of process pid runs: ended when the platform answers
// that no such thread exists or a handle that keeps it gives its exit
// status; unknown when it cannot be opened for another reason (access, say).
enum ThreadState { ThreadRunning, ThreadEnded, ThreadStateUnknown };

ThreadState StateOfThread(DWORD pid, DWORD tid) {
  const char* failedCall = "";
  HANDLE thread = OpenThreadQuietly(kThreadAllAccess, pid, tid, &failedCall);
  if (thread == NULL) return GetLastError() == ERROR_INVALID_PARAMETER ? ThreadEnded : ThreadStateUnknown;
  ScopedHandle owner(thread);
  return HasEnded(thread) ? ThreadEnded : ThreadRunning;
}

// False when thread tid of process pid has ended, or that cannot be told.
bool ThreadRuns(DWORD pid, DWORD tid) { return StateOfThread(pid, tid) == ThreadRunning; }

// True when the edge holds still: the section or mutex is held by the same
// thread as when the waiter was walked, or the awaited thread runs still.
bool EdgeHolds(const ExaminedProcess& process, DWORD waiter, const WaitEdge& edge) {
  DWORD owner = 0;
  switch (edge.kind) {
    case SectionEdge:
      return ReadHolder(process, edge.object, waiter, &owner) && owner == edge.to;
    case ThreadEndEdge:
      return ThreadRuns((DWORD)process.pid, edge.to);
    case MutexEdge:
      return MutexStillHeldBy(process, edge.object, edge.to);
  }
  return false;
}

// The simple cycles of waiters, each from its lowest thread id and found
// once from there. A waiter may wait for several threads (all of several
// objects), so the search is bounded in steps.
class CycleSearch {
 public:
  CycleSearch(const ExaminedProcess& process, const WaitChain& chain) : process_(process), chain_(chain) {}

  std::vector<std::vector<DWORD>> Run() {
    for (const auto& waiter : chain_.edges) {
      start_ = waiter.first;
      path_.assign(1, start_);
      Follow(start_);
    }
    return std::vector<std::vector<DWORD>>(found_.begin(), found_.end());
  }

 private:
  static const long kMaxSteps = 1000000;

  void Follow(DWORD at) {
    auto out = chain_.edges.find(at);
    if (out == chain_.edges.end()) return;
    for (const WaitEdge& edge : out->second) {
      if (++steps_ > kMaxSteps) return;
      used_.push_back(&edge);
      if (edge.to == start_) {
        if (found_.count(path_) == 0 && AllHold()) found_.insert(path_);
      } else if (edge.to > start_ && std::find(path_.begin(), path_.end(), edge.to) == path_.end()) {
        path_.push_back(edge.to);
        Follow(edge.to);
        path_.pop_back();
      }
      used_.pop_back();
    }
  }

  // Every edge of the cycle is read again first.
  bool AllHold() const {
    for (size_t i = 0; i < path_.size(); ++i) {
      if (!EdgeHolds(process_, path_[i], *used_[i])) return false;
    }
    return true;
  }

  const ExaminedProcess& process_;
  const WaitChain& chain_;
  DWORD start_ = 0;
  long steps_ = 0;
  std::vector<DWORD> path_;
  std::vector<const WaitEdge*> used_;
  std::set<std::vector<DWORD>> found_;
};

// The process's loader lock, looked for once; where the process is of the
// other width it is found through a thread's environment block, so a
// thread whose block cannot be read leaves it to the next waiter.
Address LoaderLockOf(const ExaminedProcess& process, DWORD tid, WaitChain* chain) {
  if (!chain->loaderLockRead) {
    bool found = FindLoaderLock(process, tid, &chain->loaderLock);
    if (!found) chain->loaderLock = 0;
    chain->loaderLockRead = found || process.width == kToolWidth;
  }
  return chain->loaderLock;
}

bool IsListed(const WaitChain& chain, DWORD tid) { return FindThreadRecord(*chain.threads, tid) != NULL; }

}  // namespace

// True when [address, address + size) lies in committed memory that may be
// read without harm: a read of a guard page from another process spends it
// (its thread could no longer grow its stack), whichever thread's stack it
// ends, and nothing below the copied stack's floor is read.
bool MayReadTarget(HANDLE process, const StackCopy& stack, Address address, size_t size) {
  if (ReadsBelowStackFloor(stack, address, (DWORD)size)) return false;
  for (Address at : {address, address + size - 1}) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQueryEx(process, (LPCVOID)(UINT_PTR)at, &region, sizeof(region)) != sizeof(region)) return false;
    if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
  }
  return true;
}

bool FindAwaitedSection(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                        const std::vector<FoundFrame>& found, Address* section) {
  size_t entry = 0;
  Address end = 0;
  if (!FindEntryFrame(process, found, &entry) || !EndOfWaitFrames(process.width, stack, found, entry, &end)) {
    return false;
  }
  Address start = found[0].stack;
  if (end <= start || end - start > kMaxWaitFrameBytes) return false;
  std::vector<Address> words;
  for (Address at = start; at < end; at += WordSizeOf(process.width)) {
    Address word = 0;
    if (!CopiedWord(stack, at, process.width, &word)) break;
    words.push_back(word);
  }
  std::vector<Candidate> candidates = HeldCandidates(process, stack, tid, words);
  return ChooseSection(process.width, &candidates, words, section);
}

void ReportAwaitedSection(const ExaminedProcess& process, ReportSink& report, DWORD tid, Address section,
                          WaitChain* chain) {
  bool loaderLock = section == LoaderLockOf(process, tid, chain);
  DWORD owner = 0;
  if (!ReadHolder(process, section, tid, &owner)) {
    report.SectionWait(tid, section, NULL, false, loaderLock);
    return;
  }
  // A holder is said to have ended only where the platform says so; a
  // listed one that has ended holds up nothing.
  bool ended = StateOfThread((DWORD)process.pid, owner) == ThreadEnded;
  if (!ended && IsListed(*chain, owner)) chain->edges[tid].push_back(WaitEdge{SectionEdge, section, owner});
  report.SectionWait(tid, section, &owner, ended, loaderLock);
}

void ReportHandleWait(const ExaminedProcess& process, ReportSink& report, DWORD tid, HandleWait* wait,
                      WaitChain* chain) {
  // Only a wait that needs every object it names is held up by each; an
  // object that may be a leftover of an earlier wait holds up nothing, nor
  // does a mutex the waiter holds itself (a mutex is recursive).
  bool needsEach = wait->mode == WaitsForOne || wait->mode == WaitsForAll;
  DWORD pid = (DWORD)process.pid;
  for (WaitedObject& object : wait->objects) {
    bool holdsUp = needsEach && !object.uncertain;
    if (object.kind == MutexObject && object.holderKnown) {
      bool here = object.holderProcess == 0 || object.holderProcess == pid;
      // A holder of this process that is neither listed nor running names
      // no thread the line could back.
      if (object.holder == 0 || (here && !IsListed(*chain, object.holder) && !ThreadRuns(pid, object.holder))) {
        object.holderKnown = false;
      } else if (holdsUp && here && object.holder != tid && IsListed(*chain, object.holder) && !object.abandoned) {
        chain->edges[tid].push_back(WaitEdge{MutexEdge, object.handle, object.holder});
      }
    }
    if (object.kind == ThreadObject && holdsUp && object.process == pid && !object.ended &&
        IsListed(*chain, object.id)) {
      chain->edges[tid].push_back(WaitEdge{ThreadEndEdge, object.handle, object.id});
    }
  }
  report.HandleWaitLine(tid, process.pid, *wait);
}

void PrintDeadlocks(const ExaminedProcess& process, ReportSink& report, const WaitChain& chain) {
  CycleSearch search(process, chain);
  std::vector<std::vector<DWORD>> cycles = search.Run();
  std::sort(cycles.begin(), cycles.end());
  report.Deadlocks(cycles);
}
