#ifndef THREADSIFT_REPORT_RECORD_H
#define THREADSIFT_REPORT_RECORD_H

#include <windows.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "threadsift/base/Bitness.h"
#include "threadsift/base/Utf8Text.h"

// What the report says of a run and of the process in hand, as plain data:
// the parts that find fill it (through ReportSink), and each form of the
// report reads it. Every part that may come before or after another one
// carries its place in the order said (order), so that a form can give
// them in that order.

// The label of a file without usable version information.
const char kNoVersionLabel[] = "-.--.----.----";
// The width of the shortest file-version label ("1.02.0003.0004").
const size_t kFileVersionLabelWidth = 14;

// A thread's figures with -c: its processor time so far, and its share of
// one processor over the interval in whole per cent, or ended.
struct ThreadFigures {
  ULONGLONG milliseconds;
  bool ended;
  unsigned busy;
};

// What a handle of the examined process names, as far as -w can tell: the
// kinds of object a thread waits on.
enum ObjectKind { HandleOnly, ThreadObject, ProcessObject, MutexObject, EventObject, SemaphoreObject, TimerObject };

// The name of a kind, as every form gives it: "event".
inline const char* ObjectKindName(ObjectKind kind) {
  static const char* const kNames[] = {"handle", "thread", "process", "mutex", "event", "semaphore", "timer"};
  return kNames[kind];
}

struct WaitedObject {
  Address handle;     // its value in the examined process (below 2^24, as every handle)
  ObjectKind kind;    // HandleOnly: the process refused the duplication, nothing more is known
  ImageText name;     // the name it was given, without the namespace's folders; empty when none is known
  DWORD id;           // a thread's or process's id
  DWORD process;      // a thread's process
  bool ended;         // a thread or process that has ended
  bool holderKnown;   // a mutex whose holder the platform gives
  DWORD holder;       // that holder, 0 when none holds it
  DWORD holderProcess;  // the holder's process, 0 when not given
  bool abandoned;     // a mutex whose holder ended while holding it
  bool uncertain;     // it may be a leftover of an earlier wait, not one waited on
};

// How a thread waits on its handles: on one, on all or any of several, or
// on several where whether it needs all of them cannot be told.
enum WaitMode { WaitsForOne, WaitsForAll, WaitsForAny, WaitsForAllOrAny };

struct HandleWait {
  WaitMode mode;
  std::vector<WaitedObject> objects;
};

// A message a thread sends to another thread's window: the window, its
// class (empty when it cannot be read), and the thread that answers for
// it, with that thread's process.
struct SentMessage {
  Address window;
  ImageText windowClass;
  DWORD receiver;
  DWORD receiverProcess;
};

// What a thread waits for (-w): nothing found, a critical section,
// handles, a C++ mutex, a slim lock, a condition variable, the value at an
// address to change, or the answer to a message it sent.
enum WaitKind {
  NoWait,
  SectionWaitKind,
  HandleWaitKind,
  CxxMutexWaitKind,
  SlimLockWaitKind,
  ConditionWaitKind,
  AddressWaitKind,
  SendWaitKind
};

// How a slim lock's word says it is held while a thread waits for it: a
// slim lock records no holder. Held where whether exclusively or shared is
// not in the word; free when the wait is ending.
enum SlimLockState { SlimLockUnreadable, SlimLockFree, SlimLockHeldExclusively, SlimLockHeldShared, SlimLockHeld };

struct ReportedWait {
  WaitKind kind = NoWait;
  size_t order = 0;
  DWORD waiter = 0;  // the thread as the wait line names it
  int pid = 0;       // its process, which the objects' processes are told from
  // A section: its address, its holder (when known) and whether that has
  // ended, and whether it is the process's loader lock. A C++ mutex: its
  // holder as a section's.
  Address section = 0;
  bool holderKnown = false;
  DWORD holder = 0;
  bool holderEnded = false;
  bool loaderLock = false;
  HandleWait handles = HandleWait();
  // A C++ mutex, a slim lock, a condition variable or an address: its
  // address; for a
  // slim lock, whether it is asked for shared, how it is held, and by how
  // many sharers (0 where the word does not say).
  Address object = 0;
  bool shared = false;
  SlimLockState lockState = SlimLockUnreadable;
  unsigned sharedCount = 0;
  SentMessage sent = SentMessage();
};

// How a failure is said: a step with its code (and a name), or one of the
// lines of their own.
enum FailureForm {
  StepFailed,             // step, code and name
  ThreadWalkFailed,       // "WalkThread": id is the thread
  ThreadListMissing,      // "EnumProcessThreads": id is the process
  StatusFailed,           // a native call: code is its status, returned its return length
  SnapshotTooLarge,       // the 16 MB limit: code is the status
  AllocationFailed,       // bytes
  VersionAllocationFailed,  // bytes, for a version block
  RegistersUnsteady,      // id is the thread, reads the reads made
  LayerThread,            // id is the thread, which has no 32-bit registers
  ProcessTooWide,         // id is the process, a 64-bit one
  OtherMachine            // id is the process, machine the machine it is built for
};

struct ReportedFailure {
  FailureForm form = StepFailed;
  size_t order = 0;
  std::string step;  // the step as the JSON names it
  long long code = 0;
  bool named = false;
  std::string name;
  DWORD id = 0;
  ULONG returned = 0;
  size_t bytes = 0;
  int reads = 0;
  WORD machine = 0;
  // The frame whose naming it ended (its index in the thread's frames), or
  // -1 when no frame was open.
  long long frame = -1;
};

// A frame: its address, the module that holds it, its symbol with the
// argument words and displacement, and its source line, as far as known.
struct ReportedFrame {
  Address pc = 0;
  bool inModule = false;
  std::string module;  // the module's base name
  Address moduleBase = 0;
  bool named = false;  // the symbol is known
  std::string function;
  Address params[4] = {0, 0, 0, 0};
  SymbolDisplacement displacement = 0;
  bool sourced = false;  // its source line is known
  std::string file;
  unsigned line = 0;
  bool open = false;  // started, and neither ended nor cut short by a failure
};

// Why a thread is idle, from its innermost frames: nothing wrong is going
// on in it.
enum IdleReason { NotIdle, PoolWorkerIdle, MessageLoopIdle, SleepIdle, ConsoleReadIdle };

// The reason as every form gives it: "waiting for a message".
inline const char* IdleReasonText(IdleReason reason) {
  static const char* const kTexts[] = {"", "waiting for work in the thread pool", "waiting for a message", "sleeping",
                                       "waiting for console input"};
  return kTexts[reason];
}

struct ReportedThread {
  DWORD tid = 0;
  bool named = false;  // name holds the name the thread was given
  ImageText name;
  IdleReason idle = NotIdle;
  bool timed = false;  // figures holds its -c figures
  ThreadFigures figures = ThreadFigures();
  bool selected = false;  // the run asks for it: every thread, or the one of -t (the tool's own shows no frames)
  bool walked = false;  // its frames were asked for (there may be none)
  std::vector<ReportedFrame> frames;
  std::vector<ReportedFailure> failures;
  ReportedWait wait;
};

struct ReportedModule {
  Address base;
  DWORD size;
  std::string label;  // kNoVersionLabel when the file has none
  std::string path;
};

// The report of one process, from the first thing tried for it to the end of
// its walk.
struct ReportedProcess {
  int pid = 0;
  bool headed = false;  // its header line was said: image and threadCount
  ImageText image;
  DWORD threadCount = 0;
  ProcessWidth width = kToolWidth;  // its addresses are shown in it
  // Its width as the JSON shows it, once said (0 before): its own when not
  // the tool's, or one assumed.
  int shownWidthBits = 0;
  size_t widthOrder = 0;
  bool widthAssumed = false;
  bool modulesListed = false;
  std::vector<ReportedModule> modules;
  bool threadsListed = false;
  std::vector<ReportedThread> threads;
  bool threadInHand = false;  // the last of threads is in hand
  std::vector<ReportedFailure> failures;  // its own, not a thread's
  bool cyclesSaid = false;
  size_t cyclesOrder = 0;
  std::vector<std::vector<DWORD>> cycles;  // each from its lowest thread id
  bool interrupted = false;  // a break key ended its walk
};

// The condition of -a that held for the watched process, with its figures.
enum WatchCondition { HungCondition, DeadlockCondition, CpuCondition };
struct WatchTrigger {
  WatchCondition condition = HungCondition;
  unsigned ms = 0;       // hung: how long the windows were silent; deadlock: between the walks that found it
  DWORD tid = 0;         // hung: the one thread whose windows were silent, 0 when no window answered
  unsigned percent = 0;  // cpu: the share of one processor over the seconds
  unsigned seconds = 0;
  std::vector<DWORD> cycle;  // deadlock: from its lowest thread id
};

// The watch of -a before the report: the process watched, and how the
// watch ended.
struct ReportedWatch {
  int pid = 0;
  ImageText image;
  std::string conditions;  // as the option named them
  bool triggered = false;  // trigger holds the condition that held for process heldPid
  int heldPid = 0;
  WatchTrigger trigger;
  bool endedFirst = false;  // the process ended before any condition held
};

// The run: what it says outside any process, and the process in hand.
struct ReportRecord {
  std::string version;
  bool headed = false;  // the run header was said: computer and time
  std::string computer;
  time_t time = 0;
  std::string banner;
  std::vector<ReportedFailure> failures;  // said outside any process
  int processCount = 0;
  bool inProcess = false;
  ReportedProcess process;
  ReportedWatch watch;
  size_t said = 0;  // the parts said so far, which gives each its order
};

#endif
