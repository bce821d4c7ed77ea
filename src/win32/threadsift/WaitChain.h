#ifndef THREADSIFT_WAIT_CHAIN_H
#define THREADSIFT_WAIT_CHAIN_H

#include <windows.h>

#include <map>
#include <vector>

#include "threadsift/Bitness.h"
#include "threadsift/ExaminedProcess.h"
#include "threadsift/FrameNaming.h"
#include "threadsift/ProcessSnapshot.h"
#include "threadsift/StackCopy.h"

class ReportSink;

// Who waits for whom (-w): for each walked thread that waits to enter a
// critical section, the section and the thread that holds it, and the
// cycles those waits make among the threads of one process.

// What -w gathers of one process while its threads are walked.
struct WaitChain {
  const ThreadList* threads;       // the process's threads as its snapshot lists them
  std::map<DWORD, DWORD> holders;  // waiter -> the listed thread that holds its section
};

// Once the thread runs again, over its stack copy stack: the critical
// section it waits to enter. True when its innermost frames are the
// platform's section wait (wait routines, then the entry routine) and a word
// of those frames in the copy addresses a section that another thread holds.
// Reads the candidates from the process; says nothing.
bool FindAwaitedSection(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                        const std::vector<FoundFrame>& found, Address* section);

// Reads the section's holder afresh and says the thread's wait line; a
// holder that is a listed thread is noted in chain for the cycles.
void ReportAwaitedSection(const ExaminedProcess& process, ReportSink& report, DWORD tid, Address section,
                          WaitChain* chain);

// Says one line for every cycle of waiters in chain, each from its lowest
// thread id, in order of that id, and an empty line after them; nothing when
// there is none.
void PrintDeadlocks(ReportSink& report, const WaitChain& chain);

#endif
