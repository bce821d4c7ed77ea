#include <windows.h>

#include <algorithm>
#include <cstddef>

#include "common/TargetMemory.h"
#include "threadsift/waits/AwaitedSection.h"
#include "threadsift/waits/SectionLayout.h"

namespace {

// The entry routine takes the section as its one argument.
const Address kEntryArgumentWords = 1;
// How far above the entry routine's own stack address its return address
// is looked for at least (up to the caller's stack address where that lies
// higher): a walk of frames without the layout it assumes may place that
// address below the return address.
const Address kEntryFrameReach = 0x1000;

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
    if (word < kLowestObject || word % WordSizeOf(process.width) != 0) continue;
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

}  // namespace

// The holder of section as its fields say now, while a thread waits for it;
// false when they no longer say that another than waiter holds it.
bool ReadSectionHolder(const ExaminedProcess& process, Address section, DWORD waiter, DWORD* owner) {
  SectionImage image;
  return ReadSection(process, section, &image) && HeldByAnother(image, waiter, owner);
}

bool FindAwaitedSection(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                        const std::vector<FoundFrame>& found, const WaitFrames& wait, Address* section) {
  Address end = 0;
  if (!EndOfWaitFrames(process.width, stack, found, wait.called, &end)) return false;
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

