#ifndef THREADSIFT_WAIT_CHAIN_H
#define THREADSIFT_WAIT_CHAIN_H

#include <windows.h>

#include <map>
#include <vector>

#include "threadsift/base/Bitness.h"
#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "threadsift/report/ReportRecord.h"

class ReportSink;

// Who waits for whom (-w): for each walked thread that waits to enter a
// critical section or on handles, what it waits for and the thread that
// holds it, and the cycles those waits make among the threads of one
// process.

// Why a waiter waits for another listed thread: a section that thread
// holds, that thread's end, a mutex or a C++ mutex that thread holds, or
// its answer to a message sent to its window.
enum EdgeKind { SectionEdge, ThreadEndEdge, MutexEdge, CxxMutexEdge, SendEdge };

struct WaitEdge {
  EdgeKind kind;
  Address object;  // the section's or C++ mutex's address, the mutex handle's value, or the window
  DWORD to;
};

// What -w gathers of one process while its threads are walked.
struct WaitChain {
  const ThreadList* threads;                     // the process's threads as its snapshot lists them
  std::map<DWORD, std::vector<WaitEdge>> edges;  // by waiter
  bool loaderLockRead = false;                   // loaderLock was looked for
  Address loaderLock = 0;                        // the process's loader lock, 0 when unknown
};

// Reads the section's holder afresh and says the thread's wait line; a
// holder that is a listed thread is noted in chain for the cycles.
void ReportAwaitedSection(const ExaminedProcess& process, ReportSink& report, DWORD tid, Address section,
                          WaitChain* chain);

// Reads the C++ mutex's holder afresh and says the thread's wait line; a
// holder that is a listed thread is noted in chain for the cycles.
void ReportCxxMutexWait(const ExaminedProcess& process, ReportSink& report, DWORD tid, Address mutex,
                        WaitChain* chain);

// Says the wait line of a thread that sends a message; a receiver that is
// a listed thread is noted in chain for the cycles.
void ReportSentMessage(const ExaminedProcess& process, ReportSink& report, DWORD tid, const SentMessage& sent,
                       WaitChain* chain);

// Says the wait line of a thread that waits on handles; a thread's end,
// and a mutex held by a listed thread, that it cannot go on without are
// noted in chain for the cycles.
void ReportHandleWait(const ExaminedProcess& process, ReportSink& report, DWORD tid, HandleWait* wait,
                      WaitChain* chain);

// Says one line for every cycle of waiters in chain, each from its lowest
// thread id, in order of that id, and an empty line after them; nothing when
// there is none. The threads were walked one after another, so a wait seen
// early may be over: each edge of a cycle is read again first, and a cycle
// whose section or mutex has changed hands since, or whose awaited thread
// has ended, is not said.
void PrintDeadlocks(const ExaminedProcess& process, ReportSink& report, const WaitChain& chain);

#endif
