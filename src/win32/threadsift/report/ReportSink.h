#ifndef THREADSIFT_REPORT_SINK_H
#define THREADSIFT_REPORT_SINK_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "threadsift/base/Bitness.h"
#include "threadsift/report/ReportForm.h"
#include "threadsift/report/ReportRecord.h"

// The report of one run: everything the report says goes through it, and
// it is given all it says (it looks nothing up). Each call adds its part to
// the record of the run and the process in hand, and hands it to the run's
// form: the text prints each part as it comes; the JSON (-j) writes the
// record of a process as one line when its walk is over, and what is said
// outside any process (a failure before the first) as one line of its own
// when the run ends. Made by main for the run, fresh at each.
class ReportSink {
 public:
  // Chooses the form for the whole run: the JSON notes the tool's version
  // and pointer width for every line; grouped (-g), the text shows each
  // distinct stack once and the JSON each process's groups.
  ReportSink(bool json, const char* version, bool grouped = false);
  // A report in a form of the caller's (one that shows nothing, for a walk
  // whose record alone is wanted).
  ReportSink(std::unique_ptr<ReportForm> form, const char* version);
  ~ReportSink();
  ReportSink(const ReportSink&) = delete;
  ReportSink& operator=(const ReportSink&) = delete;

  // The text prints the banner and an empty line; the JSON has none.
  void Banner(const char* banner);

  // The run header: the computer's name and the time of the run.
  void RunHeader(const char* computerName);

  // Ends the run: the JSON writes a line for the failures said outside any
  // process, when there were any. Prints nothing as text.
  void EndRun();

  // The report of one process, from the first thing tried for it to the end
  // of its walk; the JSON writes its line at the end, marked interrupted
  // when a break key ended the walk.
  void BeginProcess(int pid);
  void EndProcess(bool interrupted);

  void ProcessHeader(int pid, const ImageText& image, DWORD threadCount);

  // The empty line of the text report that ends a part of it.
  void EmptyLine();

  // The width of the process in hand, once known: its addresses are shown
  // in it (and the JSON says so when it is not the tool's own).
  void ProcessWidthIs(ProcessWidth width);

  // The width of the process in hand could not be read from its main
  // image: it is walked in width all the same.
  void AssumedWidth(int pid, ProcessWidth width);

  // The process in hand is not walked: a 64-bit process seen from the
  // 32-bit build, or one built for another machine.
  void WiderProcess(int pid);
  void OtherMachine(int pid, WORD machine);

  // The module listing: its header and rule, then a row a module.
  void ModuleListing();
  void Module(Address base, DWORD size, const std::string& label, const char* path);

  // The empty line after the module listing, where the threads begin.
  void BeginThreads();

  // A thread's line (with its figures, or without: null); the thread is in
  // hand until its section ends.
  void Thread(DWORD tid, const ThreadFigures* times);
  void EndThread();

  // The thread in hand is one the run asks for: every thread, or the one
  // of -t (it may show no frames).
  void SelectThread();

  // The thread in hand is walked: its frames follow (if any).
  void BeginFrames();

  // The name the thread in hand was given, and why it is idle: neither is a
  // line of its own.
  void ThreadName(const ImageText& name);
  void ThreadIdle(IdleReason reason);

  // A frame: its address and the module that holds it (its base name and
  // base, or null); then either no symbol, or the symbol with the argument
  // words and displacement, and its source line when known; then its end.
  // A failure said between its start and its end ends it.
  void FrameStart(Address pc, const char* moduleName, Address moduleBase);
  void FrameWithoutSymbol();
  void FrameSymbol(const char* name, const Address params[4], SymbolDisplacement displacement);
  void FrameSource(const char* file, unsigned line);
  void FrameEnd();
  // A fault ended the naming of the frame in hand, if one is: the text ends
  // its line, the JSON closes it, so that what follows is not taken for
  // part of it.
  void FrameCutShort();

  // The registers of the thread in hand (of a 32-bit process, seen from the
  // 64-bit build) did not hold still in reads reads: it is not walked.
  void UnsteadyContext(DWORD tid, int reads);
  // The thread in hand, of a 32-bit process, runs only in the platform's
  // 64-bit layer: it has no 32-bit registers to walk from.
  void NoThirtyTwoBitRegisters(DWORD tid);

  // The thread in hand waits for critical section at section, held by the
  // thread holder (null when unknown), which may have ended; the section may
  // be the process's loader lock.
  void SectionWait(DWORD tid, Address section, const DWORD* holder, bool holderEnded, bool loaderLock);

  // The thread in hand waits on handles of process pid.
  void HandleWaitLine(DWORD tid, int pid, const HandleWait& wait);
  // A wait for a C++ mutex held by the thread holder (null when unknown),
  // which may have ended.
  void CxxMutexWaitLine(DWORD tid, Address mutex, const DWORD* holder, bool holderEnded);
  // A wait for a slim lock, asked for shared or not, in the state its word
  // says (sharedCount 0 where the word does not count the sharers).
  void SlimLockWaitLine(DWORD tid, Address lock, bool shared, SlimLockState state, unsigned sharedCount);
  // A condition variable's sleep, or a wait for the value at an address to
  // change (kind says which), at address.
  void AddressWaitLine(WaitKind kind, DWORD tid, Address address);

  // The wait of a thread of process pid for the answer to a message sent.
  void SendWaitLine(DWORD tid, int pid, const SentMessage& sent);

  // The cycles of waiters of a process, each from its lowest thread id.
  void Deadlocks(const std::vector<std::vector<DWORD>>& cycles);

  // Between processes of a sweep, and at its end.
  void ProcessSeparator();
  void ProcessCount(int count);

  // The run ended early for a break key.
  void Interrupt();

  // The watch of -a: it begins on process pid (-1: every process) for the
  // conditions named; the process has no window yet (said once); a
  // condition held for process pid; the process ended before any did.
  void WatchBegins(int pid, const ImageText& image, const std::string& conditions);
  void NoWindowYet();
  void ConditionHeld(int pid, const WatchTrigger& trigger);
  void EndedBeforeCondition();

  // A failed step with the platform's code, and the name it was given when
  // the line names one ("OpenEvent NAME error 2"). It belongs to the frame,
  // thread or process in hand, or to the run.
  void Failure(const char* step, int code, const char* name = NULL);
  // The walk of thread tid failed.
  void WalkThreadFailure(DWORD tid, int code);
  // The thread list of process pid could not be had.
  void MissingThreads(int pid, int code);
  // A native call failed with status; returned is its return length.
  void StatusFailure(const char* step, ULONG status, ULONG returned);
  // The system snapshot would need more than the 16 MB a buffer may have.
  void SnapshotLimit(ULONG status);
  // No memory for a buffer of bytes: the snapshot's or the thread list's, or
  // a version block's.
  void AllocationFailure(size_t bytes);
  void VersionAllocationFailure(size_t bytes);

 private:
  ReportRecord record_;
  std::unique_ptr<ReportForm> form_;

  // The thread in hand (the last listed), the frame in hand of it.
  ReportedThread& ThreadInHand() { return record_.process.threads.back(); }
  ReportedFrame& FrameInHand() { return ThreadInHand().frames.back(); }
  // A frame of the thread in hand has started and nothing has ended it.
  bool FrameOpen();
  // Adds failure to the frame's thread (naming the frame when one is open,
  // and ending it), the thread, the process or the run, whichever is in
  // hand, and hands it to the form.
  void AddFailure(ReportedFailure failure);
  ReportedFailure StepFailure(FailureForm form, const char* step, long long code);
  // The wait of the thread in hand, made afresh for a line of kind.
  ReportedWait& NewWait(WaitKind kind, DWORD waiter);
  // Hands the part just added to the record to the form.
  void Say(ReportPart part) { form_->Said(record_, part); }
};

#endif
