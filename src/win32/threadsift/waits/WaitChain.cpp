#include <windows.h>

#include <algorithm>
#include <set>

#include "threadsift/base/ScopedHandle.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/thread/ThreadOpen.h"
#include "threadsift/waits/AwaitedSection.h"
#include "threadsift/waits/CxxMutexWait.h"
#include "threadsift/waits/SendWait.h"
#include "threadsift/waits/WaitChain.h"
#include "threadsift/waits/WaitedObject.h"

namespace {

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
// thread as when the waiter was walked, the awaited thread runs still, or
// the window is answered for by the same thread.
bool EdgeHolds(const ExaminedProcess& process, DWORD waiter, const WaitEdge& edge) {
  DWORD owner = 0;
  switch (edge.kind) {
    case SectionEdge:
      return ReadSectionHolder(process, edge.object, waiter, &owner) && owner == edge.to;
    case ThreadEndEdge:
      return ThreadRuns((DWORD)process.pid, edge.to);
    case MutexEdge:
      return MutexStillHeldBy(process, edge.object, edge.to);
    case CxxMutexEdge:
      return ReadCxxMutexHolder(process, edge.object, waiter, &owner) && owner == edge.to;
    case SendEdge:
      return WindowAnsweredBy(edge.object, edge.to);
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

void ReportAwaitedSection(const ExaminedProcess& process, ReportSink& report, DWORD tid, Address section,
                          WaitChain* chain) {
  bool loaderLock = section == LoaderLockOf(process, tid, chain);
  DWORD owner = 0;
  if (!ReadSectionHolder(process, section, tid, &owner)) {
    report.SectionWait(tid, section, NULL, false, loaderLock);
    return;
  }
  // A holder is said to have ended only where the platform says so; a
  // listed one that has ended holds up nothing.
  bool ended = StateOfThread((DWORD)process.pid, owner) == ThreadEnded;
  if (!ended && IsListed(*chain, owner)) chain->edges[tid].push_back(WaitEdge{SectionEdge, section, owner});
  report.SectionWait(tid, section, &owner, ended, loaderLock);
}

void ReportCxxMutexWait(const ExaminedProcess& process, ReportSink& report, DWORD tid, Address mutex,
                        WaitChain* chain) {
  // The id a mutex records is a thread's only where it names one the
  // process lists, or one that runs: anything else the line cannot back.
  DWORD holder = 0;
  bool recorded = ReadCxxMutexHolder(process, mutex, tid, &holder);
  ThreadState state = recorded ? StateOfThread((DWORD)process.pid, holder) : ThreadStateUnknown;
  bool listed = recorded && IsListed(*chain, holder);
  if (!listed && state != ThreadRunning) {
    report.CxxMutexWaitLine(tid, mutex, NULL, false);
    return;
  }
  bool ended = state == ThreadEnded;
  if (!ended && listed) chain->edges[tid].push_back(WaitEdge{CxxMutexEdge, mutex, holder});
  report.CxxMutexWaitLine(tid, mutex, &holder, ended);
}

void ReportSentMessage(const ExaminedProcess& process, ReportSink& report, DWORD tid, const SentMessage& sent,
                       WaitChain* chain) {
  if (sent.receiverProcess == (DWORD)process.pid && IsListed(*chain, sent.receiver)) {
    chain->edges[tid].push_back(WaitEdge{SendEdge, sent.window, sent.receiver});
  }
  report.SendWaitLine(tid, process.pid, sent);
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
