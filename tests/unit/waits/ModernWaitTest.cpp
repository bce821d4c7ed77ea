#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "Scenarios.h"
#include "ToolRuns.h"
#include "WaitLines.h"
#include "simwin_api.h"

using ::testing::HasSubstr;

namespace {

// Routines of ntdll.dll from 0x77f20000 and of kernelbase.dll from
// 0x7b000000, 0x100 bytes apart; a frame stands 0x10 into its routine.
const std::vector<std::string> kNtdll = {"RtlWaitOnAddress",
                                         "RtlAcquireSRWLockExclusive",
                                         "RtlAcquireSRWLockShared",
                                         "RtlSleepConditionVariableSRW",
                                         "RtlSleepConditionVariableCS",
                                         "threadpool_worker_proc",
                                         "NtWaitForAlertByThreadId",
                                         "RtlpAcquireSRWLockExclusiveContended",
                                         "RtlpAcquireSRWLockSharedContended"};
const std::vector<std::string> kKernelbase = {"SleepConditionVariableSRW", "SleepConditionVariableCS", "WaitOnAddress",
                                              "WaitForSingleObject"};
// Routines of user32.dll from 0x7e000000, as kernelbase.dll's.
const std::vector<std::string> kUser = {"SendMessageA", "SendMessageW", "SendMessageTimeoutA", "SendMessageTimeoutW",
                                        "NtUserMessageCall"};
const uint64_t kStub = 0x77f80000;  // ntdll.dll, no symbol
const uint64_t kLock = 0x401010;    // app.exe!Lock
const uint64_t kMain = 0x402010;    // app.exe!main
const uint64_t kFrameStep = 0x40;   // the simulated walk's stack step from frame to frame
const uint64_t kMutexLock = 0x7c001010;  // msvcp140.dll!_Mtx_lock
// Where an entry or a wait block lies in the wait frames, from the stack
// pointer, and where a lock's address does.
const uint64_t kEntryOffset = 0x48;
const uint64_t kBlockOffset = 0x80;
const uint64_t kLockWordOffset = 0x30;
// Wine's queue heads lie in ntdll's data; locks and variables in the
// program's, apart from every stack.
uint64_t Queue(int n) { return 0x77f60000 + n * 0x10; }
uint64_t Object(int n) { return 0x470000 + n * 0x10; }

uint64_t Pc(const std::string& routine) {
  for (size_t i = 0; i < kNtdll.size(); ++i) {
    if (kNtdll[i] == routine) return 0x77f20010 + i * 0x100;
  }
  for (size_t i = 0; i < kKernelbase.size(); ++i) {
    if (kKernelbase[i] == routine) return 0x7b001010 + i * 0x100;
  }
  for (size_t i = 0; i < kUser.size(); ++i) {
    if (kUser[i] == routine) return 0x7e001010 + i * 0x100;
  }
  return routine == "_Mtx_lock" ? kMutexLock : kStub;
}

sim::Machine ModernMachine() {
  sim::Machine m = WaitMachine();
  sim::Process& p = *m.FindProcess(120);
  for (sim::Module& module : p.modules) {
    if (module.baseName != "ntdll.dll") continue;
    for (const std::string& routine : kNtdll) module.AddSymbol(Pc(routine) - 0x10, 0x80, routine);
  }
  sim::Module& kernelbase = p.AddModule(0x7b000000, 0x100000, "kernelbase.dll", "C:\\WINNT\\system32\\kernelbase.dll");
  for (const std::string& routine : kKernelbase) kernelbase.AddSymbol(Pc(routine) - 0x10, 0x80, routine);
  p.AddModule(0x7c000000, 0x10000, "msvcp140.dll", "C:\\WINNT\\system32\\msvcp140.dll")
      .AddSymbol(kMutexLock - 0x10, 0x80, "_Mtx_lock");
  sim::Module& user = p.AddModule(0x7e000000, 0x100000, "user32.dll", "C:\\WINNT\\system32\\user32.dll");
  for (const std::string& routine : kUser) user.AddSymbol(Pc(routine) - 0x10, 0x80, routine);
  return m;
}

// Thread tid in the wait routines given (innermost first), called from
// Lock and main.
sim::Thread& InWait(sim::Process& p, DWORD tid, const std::vector<std::string>& routines) {
  sim::Thread& t = p.AddThread(tid);
  for (const std::string& r : routines) t.AddFrame(Pc(r));
  t.AddFrame(kLock).AddFrame(kMain);
  return t;
}

const std::vector<std::string> kWineExclusive = {"", "RtlWaitOnAddress", "RtlAcquireSRWLockExclusive"};
const std::vector<std::string> kWineShared = {"", "RtlWaitOnAddress", "RtlAcquireSRWLockShared"};
const std::vector<std::string> kWindowsExclusive = {"NtWaitForAlertByThreadId", "RtlpAcquireSRWLockExclusiveContended",
                                                    "RtlAcquireSRWLockExclusive"};
const std::vector<std::string> kWindowsShared = {"NtWaitForAlertByThreadId", "RtlpAcquireSRWLockSharedContended",
                                                 "RtlAcquireSRWLockShared"};

// A Wine waiter in routines, alone in its address's queue n, waiting at
// address.
sim::Thread& WineWaiter(sim::Process& p, DWORD tid, const std::vector<std::string>& routines, int queue,
                        uint64_t address) {
  sim::Thread& t = InWait(p, tid, routines);
  p.QueueAddressWaiters(Queue(queue), {{&t, kEntryOffset, address}});
  return t;
}

// A Windows waiter in routines whose wait frames keep the object's address
// and its wait block, which links back to before; the block's address.
uint64_t WindowsWaiter(sim::Process& p, DWORD tid, const std::vector<std::string>& routines, uint64_t object,
                       uint64_t before = 0) {
  sim::Thread& t = InWait(p, tid, routines);
  t.stack.pinned[kLockWordOffset] = object;
  return t.AddWaitBlock(kBlockOffset, before);
}

std::string Line(DWORD tid, const std::string& rest) {
  std::string line = Id(tid) + " " + rest + "\n";
  line[0] = 'T';
  return line;
}
std::string Slim(DWORD tid, uint64_t lock, const std::string& rest) {
  return Line(tid, "waits for slim lock 0x" + Hex(lock) + rest);
}
const std::string kHeldExclusively = ", held exclusively; its holder is not recorded";

struct Scene {
  const char* name;
  std::function<void(sim::Process&)> build;
  std::string lines;
};

// Wine: each waiter's address-wait entry ties the address to it.
std::vector<Scene> WineScenes(uint64_t word) {
  return {
      {"two threads that each hold the lock the other waits for: no holder, so no cycle",
       [](sim::Process& p) {
         p.AddWineSlimLock(Object(1), 1, -1);
         p.AddWineSlimLock(Object(2), 1, -1);
         WineWaiter(p, 10, kWineExclusive, 1, Object(2) + 2);
         WineWaiter(p, 20, kWineExclusive, 2, Object(1) + 2);
       },
       Slim(10, Object(2), " (exclusive)" + kHeldExclusively) + Slim(20, Object(1), " (exclusive)" + kHeldExclusively)},
      {"a writer waits for readers, a reader for a writer",
       [](sim::Process& p) {
         p.AddWineSlimLock(Object(1), 1, 2);
         p.AddWineSlimLock(Object(2), 1, 1);
         p.AddWineSlimLock(Object(3), 0, -1);
         WineWaiter(p, 10, kWineExclusive, 1, Object(1) + 2);
         WineWaiter(p, 20, kWineExclusive, 2, Object(2) + 2);
         WineWaiter(p, 30, kWineShared, 3, Object(3));
       },
       Slim(10, Object(1), " (exclusive), held shared by 2 threads") +
           Slim(20, Object(2), " (exclusive), held shared by 1 thread") +
           Slim(30, Object(3), " (shared)" + kHeldExclusively)},
      {"a lock freed as its wait ends, and one whose count of holders is nonsense",
       [](sim::Process& p) {
         p.AddWineSlimLock(Object(1), 1, 0);
         p.AddWineSlimLock(Object(2), 1, -7);
         WineWaiter(p, 10, kWineExclusive, 1, Object(1) + 2);
         WineWaiter(p, 20, kWineExclusive, 2, Object(2) + 2);
       },
       Slim(10, Object(1), " (exclusive), which is free now") +
           Slim(20, Object(2), " (exclusive), whose state cannot be read")},
      {"two waiters in one queue, each found by its own entry",
       [](sim::Process& p) {
         p.AddWineSlimLock(Object(1), 2, -1);
         sim::Thread& first = InWait(p, 10, kWineExclusive);
         sim::Thread& second = InWait(p, 20, kWineExclusive);
         p.QueueAddressWaiters(Queue(1), {{&first, kEntryOffset, Object(1) + 2}, {&second, 0x10, Object(1) + 2}});
       },
       Slim(10, Object(1), " (exclusive)" + kHeldExclusively) + Slim(20, Object(1), " (exclusive)" + kHeldExclusively)},
      {"condition variables, a lock retaken after a sleep, an address wait",
       [](sim::Process& p) {
         p.AddWineSlimLock(Object(3), 1, -1);
         WineWaiter(p, 10, {"", "RtlWaitOnAddress", "RtlSleepConditionVariableSRW", "SleepConditionVariableSRW"}, 1,
                    Object(1));
         WineWaiter(p, 20, {"", "RtlWaitOnAddress", "RtlSleepConditionVariableCS", "SleepConditionVariableCS"}, 2,
                    Object(2));
         WineWaiter(p, 30, {"", "RtlWaitOnAddress", "RtlAcquireSRWLockExclusive", "RtlSleepConditionVariableSRW"}, 3,
                    Object(3) + 2);
         WineWaiter(p, 40, {"", "RtlWaitOnAddress", "WaitOnAddress"}, 4, Object(4) + 4);
       },
       Line(10, "waits on condition variable 0x" + Hex(Object(1))) +
           Line(20, "waits on condition variable 0x" + Hex(Object(2))) +
           Slim(30, Object(3), " (exclusive)" + kHeldExclusively) +
           Line(40, "waits for the value at 0x" + Hex(Object(4) + 4) + " to change")},
      {"a pool worker waiting for work is idle",
       [](sim::Process& p) {
         sim::Thread& t = p.AddThread(10);
         t.AddFrame(kStub).AddFrame(Pc("RtlWaitOnAddress")).AddFrame(Pc("RtlSleepConditionVariableCS"));
         t.AddFrame(Pc("threadpool_worker_proc")).AddFrame(kMain);
         p.QueueAddressWaiters(Queue(1), {{&t, kEntryOffset, Object(1)}});
       },
       ""},
      {"bad entries: another thread's id, links that do not lead back, outside the wait frames, misaligned",
       [=](sim::Process& p) {
         p.AddWineSlimLock(Object(1), 1, -1);
         WineWaiter(p, 10, kWineExclusive, 1, Object(1) + 2).stack.pinned[kEntryOffset + 3 * word] = 20;
         InWait(p, 20, kWineExclusive);
         sim::Thread& unlinked = WineWaiter(p, 30, kWineExclusive, 3, Object(1) + 2);
         unlinked.stack.pinned[kEntryOffset] = Queue(4);
         p.AddWord(Queue(4), Queue(4));
         sim::Thread& far = InWait(p, 40, kWineExclusive);
         p.QueueAddressWaiters(Queue(5), {{&far, 4 * kFrameStep, Object(1) + 2}});
         WineWaiter(p, 50, kWineExclusive, 6, Object(1) + 1);
       },
       ""},
      {"decoy: an entry on the stack of a thread in no wait of these kinds",
       [](sim::Process& p) {
         p.AddWineSlimLock(Object(1), 1, -1);
         sim::Thread& t = p.AddThread(10).AddFrame(kStub).AddFrame(kLock).AddFrame(kMain);
         p.QueueAddressWaiters(Queue(1), {{&t, kEntryOffset, Object(1) + 2}});
       },
       ""},
  };
}

// The slim lock inside a C++ mutex of the run-time, in the process's
// width, and the lines of a waiter for it.
uint64_t MutexLock(uint64_t mutex, uint64_t word) { return mutex + (word == 8 ? 16 : 8); }
const std::vector<std::string> kMutexWait = {"", "RtlWaitOnAddress", "RtlAcquireSRWLockExclusive", "_Mtx_lock"};
std::string Mutex(DWORD tid, uint64_t mutex, const std::string& rest) {
  return Line(tid, "waits for C++ mutex 0x" + Hex(mutex) + rest);
}

std::vector<Scene> CxxMutexScenes(uint64_t word) {
  return {
      {"a pair that each hold the mutex the other waits for",
       [=](sim::Process& p) {
         p.AddCxxMutex(Object(1), 2, 20);
         p.AddCxxMutex(Object(8), 0x102, 10);
         WineWaiter(p, 10, kMutexWait, 1, MutexLock(Object(1), word) + 2);
         WineWaiter(p, 20, kMutexWait, 2, MutexLock(Object(8), word) + 2);
       },
       Mutex(10, Object(1), " held by " + Id(20)) + Mutex(20, Object(8), " held by " + Id(10)) + Deadlock({10, 20})},
      {"holders not recorded yet, the waiter's own, no thread's, one that has ended",
       [=](sim::Process& p) {
         for (uint32_t n = 1; n <= 4; ++n) {
           uint32_t holder = n == 1 ? 0xFFFFFFFF : n == 2 ? 10 * n : n == 3 ? 0x5a5a5a58 : 99;
           p.AddCxxMutex(Object(8 * n), 2, holder);
           WineWaiter(p, 10 * n, kMutexWait, (int)n, MutexLock(Object(8 * n), word) + 2);
         }
         p.AddThread(99).exited = true;
       },
       Mutex(10, Object(8), " whose holder is unknown") + Mutex(20, Object(16), " whose holder is unknown") +
           Mutex(30, Object(24), " whose holder is unknown") +
           Mutex(40, Object(32), " held by " + Id(99) + ", which has ended")},
      {"a type word that is no mutex's",
       [=](sim::Process& p) {
         p.AddCxxMutex(Object(1), 0x5a, 20);
         WineWaiter(p, 10, kMutexWait, 1, MutexLock(Object(1), word) + 2);
         InWait(p, 20, {});
       },
       ""},
      {"a cycle whose mutex has changed hands by the time it is checked",
       [=](sim::Process& p) {
         sim::MemoryBlock& passed = p.AddCxxMutex(Object(1), 2, 20);
         // Read by the search, the wait line and the check of the cycle.
         passed.readsLeft = 2;
         sim::Process scratch;
         scratch.bits = p.bits;
         passed.later = scratch.AddCxxMutex(0, 2, 30).bytes;
         p.AddCxxMutex(Object(8), 2, 10);
         WineWaiter(p, 10, kMutexWait, 1, MutexLock(Object(1), word) + 2);
         WineWaiter(p, 20, kMutexWait, 2, MutexLock(Object(8), word) + 2);
         InWait(p, 30, {});
       },
       Mutex(10, Object(1), " held by " + Id(20)) + Mutex(20, Object(8), " held by " + Id(10))},
  };
}

// Thread tid sends a message to window through call, called from Lock: a
// 32-bit thread keeps the window as the call's first argument, a 64-bit
// one in the register Wine's narrow calls keep it in.
// Where missed, the walk shows no frame of the call: 32-bit Wine's stub
// returns to it, and the next frame is Lock's; the call has reused its own
// argument word, and the window is the stub's first argument.
sim::Thread& Sender(sim::Process& p, DWORD tid, const std::string& call, uint64_t window, bool missed = false) {
  sim::Thread& t = missed ? InWait(p, tid, {""}) : InWait(p, tid, {"NtUserMessageCall", call});
  uint64_t word = WordOf(p), caller = (missed ? 1 : 2) * kFrameStep;
  if (missed) t.stack.pinned[0] = Pc(call);
  if (word == 4) {
    t.stack.pinned[caller - word] = kLock;
    t.stack.pinned[caller] = missed ? 0x41bff30 : window;  // a stack address, when reused
    if (missed) t.stack.pinned[word] = window;
  } else if (call == "SendMessageTimeoutA") {
    t.rsi = window;
  } else {
    t.rdi = window;
  }
  return t;
}

std::string Answer(DWORD receiver, const std::string& window, const std::string& rest) {
  return "waits for " + Id(receiver) + rest + " to answer a message to window " + window;
}

std::vector<Scene> SendScenes(uint64_t word) {
  return {
      {"a thread that holds a C++ mutex sends to the window of one that waits for it",
       [=](sim::Process& p) {
         p.AddCxxMutex(Object(1), 2, 10);
         WineWaiter(p, 20, kMutexWait, 1, MutexLock(Object(1), word) + 2);
         p.AddWindow(0x2003e, 20, u"Teller");
         Sender(p, 10, "SendMessageA", 0x2003e);
       },
       Mutex(20, Object(1), " held by " + Id(10)) + Line(10, Answer(20, "0x2003e", "") + " (\"Teller\")") +
           Deadlock({10, 20})},
      {"a window of another process, one without a class, one of a thread started since, a class with a line break",
       [](sim::Process& p) {
         p.AddWindow(0x10010, 60, u"Far", 130);
         p.AddWindow(0x10020, 30, u"");
         p.AddWindow(0x10030, 77, u"La\nte\x7f");
         Sender(p, 10, "SendMessageTimeoutA", 0x10010);
         Sender(p, 20, "SendMessageA", 0x10020);
         InWait(p, 30, {});
         Sender(p, 40, "SendMessageA", 0x10030);
         // A handle with its top bit set, sign-extended where wider (the
         // tool's handle, whatever its width, names it), and a class longer
         // than any the platform keeps.
         p.AddWindow((uint64_t)(uintptr_t)(intptr_t)(int32_t)0xFFFF1234u, 30, std::u16string(300, u'W'));
         Sender(p, 50, "SendMessageA", 0xFFFFFFFFFFFF1234ULL);
       },
       Line(10, Answer(60, "0x10010", " of process 130 (0x82)") + " (\"Far\")") + Line(20, Answer(30, "0x10020", "")) +
           Line(40, Answer(77, "0x10030", "") + " (\"La?te?\")") +
           Line(50, Answer(30, "0xffff1234", "") + " (\"" + std::string(256, 'W') + "\")")},
      {"the walk misses the call's frame; a stub that returns to no wait routine",
       [](sim::Process& p) {
         p.AddWindow(0x10010, 60, u"Far", 130);
         Sender(p, 10, "SendMessageW", 0x10010, true);
         Sender(p, 20, "SendMessageTimeoutA", 0x10010, true);
         Sender(p, 30, "SendMessageA", 0x10010, true).stack.pinned[0] = kMain;
         // A stub returning to a routine of no wait: the frames stay as walked.
         sim::Thread& kept = Sender(p, 40, "SendMessageA", 0x10010);
         kept.frames[0].pc = kStub;
         kept.stack.pinned[0] = kMain;
       },
       (word == 4 ? Line(10, Answer(60, "0x10010", " of process 130 (0x82)") + " (\"Far\")") : "") +
           Line(20, Answer(60, "0x10010", " of process 130 (0x82)") + " (\"Far\")") +
           Line(40, Answer(60, "0x10010", " of process 130 (0x82)") + " (\"Far\")")},
      {"the sender's own window, no window, a handle with high bits, a wide call, one destroyed as it is asked about",
       [=](sim::Process& p) {
         p.AddWindow(0x10010, 10, u"Own");
         p.AddWindow(0x10020, 50, u"Wide");
         Sender(p, 10, "SendMessageA", 0x10010);
         Sender(p, 20, "SendMessageA", 0x10050);
         Sender(p, 30, "SendMessageA", word == 8 ? 0x100000010020ULL : 0);
         Sender(p, 40, "SendMessageW", 0x10020);
         InWait(p, 50, {});
         // Destroyed once it has been found a window.
         p.AddWindow(0x10030, 50, u"Gone").checksLeft = 1;
         Sender(p, 60, "SendMessageA", 0x10030);
       },
       word == 8 ? "" : Line(40, Answer(50, "0x10020", "") + " (\"Wide\")")},
      {"a window destroyed before the cycle is checked",
       [=](sim::Process& p) {
         p.AddCxxMutex(Object(1), 2, 10);
         WineWaiter(p, 20, kMutexWait, 1, MutexLock(Object(1), word) + 2);
         // Asked about by the sender's search, its class, and the check.
         p.AddWindow(0x2003e, 20, u"Teller").checksLeft = 3;
         Sender(p, 10, "SendMessageA", 0x2003e);
       },
       Mutex(20, Object(1), " held by " + Id(10)) + Line(10, Answer(20, "0x2003e", "") + " (\"Teller\")")},
      {"a window whose handle names another thread's window by the time the cycle is checked",
       [=](sim::Process& p) {
         p.AddCxxMutex(Object(1), 2, 10);
         WineWaiter(p, 20, kMutexWait, 1, MutexLock(Object(1), word) + 2);
         sim::Window& window = p.AddWindow(0x2003e, 20, u"Teller");
         window.checksLeft = 3;
         window.heir = 30;
         Sender(p, 10, "SendMessageA", 0x2003e);
       },
       Mutex(20, Object(1), " held by " + Id(10)) + Line(10, Answer(20, "0x2003e", "") + " (\"Teller\")")},
  };
}

// Windows: the lock's word leads through its chain of wait blocks to the
// waiter's frames.
std::vector<Scene> WindowsScenes() {
  return {
      {"a lock with one waiter: held, but whether exclusively is not in the word",
       [](sim::Process& p) {
         uint64_t block = WindowsWaiter(p, 10, kWindowsExclusive, Object(1));
         p.AddWord(Object(1), block | 0x3);
       },
       Slim(10, Object(1), " (exclusive), held; its holder is not recorded")},
      {"two waiters chained, the lock held by several sharers",
       [](sim::Process& p) {
         uint64_t first = WindowsWaiter(p, 10, kWindowsExclusive, Object(1));
         uint64_t second = WindowsWaiter(p, 20, kWindowsShared, Object(1), first);
         p.AddWord(Object(1), second | 0xB);
       },
       Slim(10, Object(1), " (exclusive), held shared") + Slim(20, Object(1), " (shared), held shared")},
      {"a word without waiters, a chain that loops, one that leaves the stacks, one that ends short",
       [=](sim::Process& p) {
         WindowsWaiter(p, 10, kWindowsExclusive, Object(1));
         p.AddWord(Object(1), 0x11);
         WindowsWaiter(p, 20, kWindowsExclusive, Object(2));
         p.AddWord(Object(2), Object(5) | 0x3);
         p.AddWord(Object(5), Object(6));
         p.AddWord(Object(6), Object(5));
         WindowsWaiter(p, 30, kWindowsExclusive, Object(3));
         p.AddWord(Object(3), 0x5a5a5a50 | 0x3);
         WindowsWaiter(p, 40, kWindowsExclusive, Object(4));
         p.AddWord(Object(4), Object(7) | 0x3);
         p.AddWord(Object(7), 0);
       },
       ""},
      {"a back link with flag bits, and wait frames larger than any wait's",
       [](sim::Process& p) {
         uint64_t first = WindowsWaiter(p, 10, kWindowsExclusive, Object(1));
         uint64_t second = WindowsWaiter(p, 20, kWindowsExclusive, Object(1), first | 0x2);
         p.AddWord(Object(1), second | 0x3);
         uint64_t block = WindowsWaiter(p, 30, kWindowsExclusive, Object(2));
         p.FindThread(30)->frames[3].stackGap = 0x20000;
         p.AddWord(Object(2), block | 0x3);
       },
       Slim(20, Object(1), " (exclusive), held; its holder is not recorded")},
      {"a condition variable whose chain reaches the sleeper",
       [](sim::Process& p) {
         uint64_t block = WindowsWaiter(
             p, 10, {"NtWaitForAlertByThreadId", "RtlSleepConditionVariableSRW", "SleepConditionVariableSRW"},
             Object(1));
         p.AddWord(Object(1), block);
       },
       Line(10, "waits on condition variable 0x" + Hex(Object(1)))},
  };
}

TEST(ModernWait, EachSceneGivesExactlyItsLines) {
  // The 64-bit build reads a 32-bit process's lock words, entries and wait
  // blocks in its width and says what the 32-bit build says of it.
  for (uint64_t word : ProcessWords()) {
    std::vector<Scene> scenes = WineScenes(word);
    for (const Scene& scene : WindowsScenes()) scenes.push_back(scene);
    for (const Scene& scene : CxxMutexScenes(word)) scenes.push_back(scene);
    size_t firstSend = scenes.size();
    for (const Scene& scene : SendScenes(word)) scenes.push_back(scene);
    for (size_t at = 0; at < scenes.size(); ++at) {
      const Scene& scene = scenes[at];
      sim::Machine m = ModernMachine();
      sim::Process& p = *m.FindProcess(120);
      SetWidth(p, word);
      scene.build(p);
      sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
      EXPECT_EQ(r.status, 0) << scene.name << word;
      EXPECT_EQ(WaitLines(r.out), Narrowed(scene.lines, word)) << scene.name << word;
      EXPECT_EQ(m.OpenHandleCount(), 0) << scene.name << word;
      // The user library is loaded only to look at a window a thread sends to.
      if (at < firstSend) {
        EXPECT_EQ(m.CallCount("LoadLibraryA"), 0) << scene.name << word;
      }
      EXPECT_TRUE(m.books().misuses.empty()) << scene.name << word << ::testing::PrintToString(m.books().misuses);
    }
  }
}

}  // namespace

// Process 120 whose threads wait on slim locks of both layouts, a condition
// variable, an address, a C++ mutex and another process's window.
sim::Machine ModernWaitMachine() {
  sim::Machine m = ModernMachine();
  sim::Process& p = *m.FindProcess(120);
  p.AddWineSlimLock(Object(1), 1, 2);
  WineWaiter(p, 10, kWineExclusive, 1, Object(1) + 2);
  WineWaiter(p, 20, {"", "RtlWaitOnAddress", "RtlSleepConditionVariableSRW"}, 2, Object(2));
  WineWaiter(p, 30, {"", "RtlWaitOnAddress", "WaitOnAddress"}, 3, Object(3));
  uint64_t block = WindowsWaiter(p, 40, kWindowsShared, Object(4));
  p.AddWord(Object(4), block | 0x3);
  p.AddCxxMutex(Object(8), 2, 10);
  WineWaiter(p, 50, kMutexWait, 5, MutexLock(Object(8), p.bits == 32 ? 4 : sizeof(void*)) + 2);
  p.AddWindow(0x2003e, 60, u"Teller", 130);
  Sender(p, 60, "SendMessageA", 0x2003e);
  return m;
}
