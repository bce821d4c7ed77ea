#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "Scenarios.h"
#include "ToolRuns.h"
#include "WaitLines.h"
#include "simwin_api.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;

namespace {

// A section's bytes, and its semaphore field, which the platform waits on.
uint64_t SectionSize(uint64_t word) { return 4 * word + 8; }
uint64_t WaitAddress(uint64_t word) { return 2 * word + 8; }
const uint64_t kFrameStep = 0x40;             // the simulated walk's stack step from frame to frame

// Routines of ntdll.dll, 0x100 bytes apart from 0x77f01000; a frame stands 0x10 into its routine.
const std::vector<std::string> kRoutines = {"RtlEnterCriticalSection",
                                            "RtlpWaitForCriticalSection",
                                            "NtWaitForSingleObject",
                                            "ZwWaitForSingleObject",
                                            "RtlWaitOnAddress",
                                            "NtWaitForAlertByThreadId",
                                            "RtlpWaitOnAddress",
                                            "RtlpWaitOnCriticalSection",
                                            "RtlpEnterCriticalSectionContended",
                                            "_RtlEnterCriticalSection@4",
                                            "_RtlpWaitForCriticalSection@4",
                                            "WaitForSingleObjectEx"};
const uint64_t kStub = 0x77f80000;  // ntdll.dll, no symbol
const uint64_t kLock = 0x401010;
const uint64_t kMain = 0x402010;

// Where sections and debug records lie: apart from every stack.
uint64_t Section(int n) { return 0x420000 + n * 0x100; }
uint64_t Record(int n) { return 0x430000 + n * 0x100; }

uint64_t Pc(const std::string& routine) {
  for (size_t i = 0; i < kRoutines.size(); ++i) {
    if (kRoutines[i] == routine) return 0x77f01010 + i * 0x100;
  }
  return kStub;
}

}  // namespace

// Process 120 with ntdll.dll and app.exe (Lock and main), and the tool.
sim::Machine WaitMachine() {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"app.exe");
  sim::Module& ntdll = p.AddModule(0x77f00000, 0x100000, "ntdll.dll", "C:\\WINNT\\system32\\ntdll.dll");
  for (const std::string& routine : kRoutines) ntdll.AddSymbol(Pc(routine) - 0x10, 0x80, routine);
  sim::Module& app = p.AddModule(0x400000, 0x10000, "app.exe", "C:\\app\\app.exe");
  app.AddSymbol(kLock - 0x10, 0x80, "Lock");
  app.AddSymbol(kMain - 0x10, 0x80, "main");
  AddSelf(m);
  return m;
}

namespace {

const std::vector<std::string> kWineWait = {"", "RtlWaitOnAddress", "RtlpWaitForCriticalSection",
                                            "RtlEnterCriticalSection"};

// Thread tid waits to enter section through routines (innermost first, the
// entry routine last), called from Lock and main. Its wait frames keep the
// section as the platform's do: the wait address inside it innermost, the
// section in a wait routine's frame and in the entry routine's argument word
// above its return address; the walk misplaces it into the entry frame's
// third argument word, as the 32-bit walk does.
sim::Thread& Waiter(sim::Process& p, DWORD tid, uint64_t section,
                    const std::vector<std::string>& routines = kWineWait) {
  sim::Thread& t = p.AddThread(tid);
  for (const std::string& r : routines) t.AddFrame(Pc(r), 0, 0, &r == &routines.back() ? section : 0);
  t.AddFrame(kLock).AddFrame(kMain);
  uint64_t caller = routines.size() * kFrameStep;  // the caller's stack address, from the stack pointer
  t.stack.pinned[0x10] = section + WaitAddress(WordOf(p));
  t.stack.pinned[0x28] = section;
  t.stack.pinned[caller - WordOf(p)] = kLock;
  t.stack.pinned[caller] = section;
  return t;
}

}  // namespace

sim::Thread& SectionWaiter(sim::Process& p, DWORD tid, uint64_t section) { return Waiter(p, tid, section); }

namespace {

// The same waiter with its wait frames' words moved: the caller's return
// address and the entry routine's argument lie above the caller's stack
// address as the walk gives it (a walk without the layout it assumes), and
// the wait routines keep no copy of the section.
sim::Thread& DisplacedWaiter(sim::Process& p, DWORD tid, uint64_t section) {
  sim::Thread& t = Waiter(p, tid, section);
  uint64_t caller = kWineWait.size() * kFrameStep;
  t.stack.pinned.erase(caller - WordOf(p));
  t.stack.pinned[caller + WordOf(p)] = kLock;
  t.stack.pinned[caller + 2 * WordOf(p)] = section;
  return t;
}

// Thread tid waits for an event, called from main.
sim::Thread& EventWaiter(sim::Process& p, DWORD tid) {
  return p.AddThread(tid).AddFrame(Pc("NtWaitForSingleObject")).AddFrame(Pc("WaitForSingleObjectEx")).AddFrame(kMain);
}


std::string Waits(DWORD waiter, uint64_t section, const std::string& rest) {
  std::string line = Id(waiter) + " waits for critical section 0x" + Hex(section) + rest + "\n";
  line[0] = 'T';
  return line;
}
std::string Held(DWORD waiter, uint64_t section, DWORD holder) {
  return Waits(waiter, section, " held by " + Id(holder));
}


// A section's bytes with another owner, for one that changes hands.
std::vector<unsigned char> SectionBytes(const sim::Process& p, DWORD owner, int32_t recursion) {
  sim::Process scratch;
  scratch.bits = p.bits;
  return scratch.AddSection(0, owner, recursion).bytes;
}

struct Scene {
  const char* name;
  std::function<void(sim::Process&)> build;
  std::string lines;
};

// The scenes of waits for sections in a process whose words have word bytes.
std::vector<Scene> SectionScenes(uint64_t word) {
  const uint64_t sectionSize = SectionSize(word), waitAddress = WaitAddress(word);
  return {
      {"cycle of two",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         p.AddSection(Section(1), 20, 1);
         p.AddSection(Section(2), 10, 1);
       },
       Held(10, Section(1), 20) + Held(20, Section(2), 10) + Deadlock({10, 20})},
      {"cycle of three out of order, and one of two",
       [=](sim::Process& p) {
         Waiter(p, 50, Section(3));
         Waiter(p, 30, Section(1));
         Waiter(p, 40, Section(2));
         Waiter(p, 12, Section(4));
         Waiter(p, 11, Section(5));
         p.AddSection(Section(1), 40, 1);
         p.AddSection(Section(2), 50, 2);
         p.AddSection(Section(3), 30, 1);
         p.AddSection(Section(4), 11, 1);
         p.AddSection(Section(5), 12, 1);
       },
       Held(50, Section(3), 30) + Held(30, Section(1), 40) + Held(40, Section(2), 50) + Held(12, Section(4), 11) +
           Held(11, Section(5), 12) + Deadlock({11, 12}) + Deadlock({30, 40, 50})},
      {"chain ends in a thread that waits for an event",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         EventWaiter(p, 30);
         p.AddSection(Section(1), 20, 1);
         p.AddSection(Section(2), 30, 1);
       },
       Held(10, Section(1), 20) + Held(20, Section(2), 30)},
      {"holder has ended",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         p.AddSection(Section(1), 99, 1);
       },
       Waits(10, Section(1), " held by " + Id(99) + ", which has ended")},
      {"holder has ended, and a handle keeps it",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         sim::Thread& ended = p.AddThread(88);
         ended.exited = true;
         ended.listedInSnapshots = 0;
         p.AddSection(Section(1), 88, 1);
       },
       Waits(10, Section(1), " held by " + Id(88) + ", which has ended")},
      {"holder started after the snapshot",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         p.AddThread(77).firstListedInSnapshot = 1;
         p.AddSection(Section(1), 77, 1);
       },
       Held(10, Section(1), 77)},
      {"debug record points back",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         EventWaiter(p, 20);
         p.AddSection(Section(1), 20, 1, Record(1));
         p.AddSectionDebugRecord(Record(1), Section(1));
       },
       Held(10, Section(1), 20)},
      {"debug record points at another section, or anywhere",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         p.AddSection(Section(1), 30, 1, Record(1));
         p.AddSectionDebugRecord(Record(1), Section(2));
         p.AddSection(Section(2), 30, 1, 0x5a5a5a5a);
       },
       ""},
      {"decoy: a thread in another wait whose stack points at held sections",
       [=](sim::Process& p) {
         sim::Thread& t = EventWaiter(p, 10);
         t.stack.pinned[0x08] = Section(1) + waitAddress;
         t.stack.pinned[0x28] = Section(1);
         t.stack.pinned[0x40] = Section(1);
         p.AddSection(Section(1), 20, 1);
       },
       ""},
      {"decoy: the caller's locals point at another held section more often",
       [=](sim::Process& p) {
         sim::Thread& t = Waiter(p, 10, Section(1));
         for (uint64_t n = 2; n < 6; ++n) t.stack.pinned[kWineWait.size() * kFrameStep + n * word] = Section(2);
         EventWaiter(p, 20);
         p.AddSection(Section(1), 20, 1);
         p.AddSection(Section(2), 30, 1);
       },
       Held(10, Section(1), 20)},
      {"a stale pointer in the wait frames to another held section",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1)).stack.pinned[0x08] = Section(2);
         EventWaiter(p, 20);
         p.AddSection(Section(1), 20, 1);
         p.AddSection(Section(2), 30, 1);
       },
       Held(10, Section(1), 20)},
      {"sections side by side in an array",
       [=](sim::Process& p) {
         Waiter(p, 10, 0x440000 + sectionSize);
         EventWaiter(p, 20);
         for (uint64_t n = 0; n < 3; ++n) p.AddSection(0x440000 + n * sectionSize, 20, 1);
       },
       Held(10, 0x440000 + sectionSize, 20)},
      {"a thread waiting for a section it holds itself, and senseless counts",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         Waiter(p, 30, Section(3));
         p.AddSection(Section(1), 10, 1);
         p.AddSection(Section(2), 10, 0);
         p.AddSection(Section(3), 10, -4);
       },
       ""},
      {"a cycle over by the time the last thread is walked",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         // Read by the search, the wait line and the check of the cycle.
         sim::MemoryBlock& released = p.AddSection(Section(1), 20, 1);
         released.readsLeft = 2;
         released.later = SectionBytes(p, 0, 0);
         p.AddSection(Section(2), 10, 1);
       },
       Held(10, Section(1), 20) + Held(20, Section(2), 10)},
      {"a cycle whose section has changed hands by the time it is checked",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         sim::MemoryBlock& passed = p.AddSection(Section(1), 20, 1);
         passed.readsLeft = 2;
         passed.later = SectionBytes(p, 30, 1);
         p.AddSection(Section(2), 10, 1);
       },
       Held(10, Section(1), 20) + Held(20, Section(2), 10)},
      {"a section without a debug record, marked as Windows 8 and later mark it",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         EventWaiter(p, 20);
         p.AddSection(Section(1), 20, 1, word == 8 ? ~0ull : 0xFFFFFFFFull);
       },
       Held(10, Section(1), 20)},
      {"a section that cannot be read",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         p.AddSection(Section(1), 20, 1).unreadable = true;
       },
       ""},
      {"a section released, or gone, between the search and the read",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         Waiter(p, 40, Section(3));
         sim::MemoryBlock& released = p.AddSection(Section(1), 20, 1);
         released.readsLeft = 1;
         released.later = SectionBytes(p, 0, 0);
         p.AddSection(Section(2), 10, 1).readsLeft = 1;
         sim::MemoryBlock& changed = p.AddSection(Section(3), 10, 1);
         changed.readsLeft = 1;
         changed.later = SectionBytes(p, 20, 1);
       },
       Waits(10, Section(1), " whose holder is unknown") + Waits(20, Section(2), " whose holder is unknown") +
           Held(40, Section(3), 20)},
      {"an object around the section reads as a held section at its head",
       [=](sim::Process& p) {
         // { void* link; int kind; int refs; uintptr_t id; CRITICAL_SECTION cs; }, its address
         // kept by a caller's saved register in the wait frames.
         const uint64_t object = 0x450000, section = object + 2 * word + 8;
         p.AddSection(object, 30, 1);
         p.AddSection(section, 20, 1);
         Waiter(p, 10, section).stack.pinned[0x08] = object;
         EventWaiter(p, 20);
         EventWaiter(p, 30);
       },
       Held(10, 0x450000 + 2 * word + 8, 20)},
      {"a held section whose wait address also reads as a held section",
       [=](sim::Process& p) {
         p.AddSection(Section(1), 20, 1);
         p.AddSection(Section(1) + waitAddress, 30, 1);
         Waiter(p, 10, Section(1));
         EventWaiter(p, 20);
         EventWaiter(p, 30);
       },
       Held(10, Section(1), 20)},
      {"held, but nobody waits for it: a record that only looks like a section",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1));
         Waiter(p, 20, Section(2));
         Waiter(p, 30, Section(3));
         EventWaiter(p, 40);
         p.AddSection(Section(1), 40, 1, 0, 0);   // entered once, no waiter
         p.AddSection(Section(2), 40, 1, 0, -2);  // the same as current systems count it
         p.AddSection(Section(3), 40, 1, 0, -6);  // one waiter, as current systems count it
       },
       Held(30, Section(3), 40)},
      {"two sections pointed at equally often: the innermost",
       [=](sim::Process& p) {
         sim::Thread& t = Waiter(p, 10, Section(1));
         t.stack.pinned.clear();
         uint64_t caller = kWineWait.size() * kFrameStep;
         t.stack.pinned[0x08] = Section(2);
         t.stack.pinned[0x18] = Section(3);
         t.stack.pinned[caller - word] = kLock;
         EventWaiter(p, 20);
         p.AddSection(Section(2), 20, 1);
         p.AddSection(Section(3), 20, 1);
       },
       Held(10, Section(2), 20)},
      {"the section's only copy is the entry routine's argument",
       [=](sim::Process& p) {
         sim::Thread& t = Waiter(p, 10, Section(1));
         t.stack.pinned.erase(0x10);
         t.stack.pinned.erase(0x28);
         EventWaiter(p, 20);
         p.AddSection(Section(1), 20, 1);
       },
       Held(10, Section(1), 20)},
      {"the caller's return address above its stack address",
       [=](sim::Process& p) {
         DisplacedWaiter(p, 10, Section(1));
         EventWaiter(p, 20);
         p.AddSection(Section(1), 20, 1);
       },
       Held(10, Section(1), 20)},
      {"the entry routine as the 12th frame, and as the 13th",
       [=](sim::Process& p) {
         std::vector<std::string> twelve(11, "");
         twelve.push_back("RtlEnterCriticalSection");
         Waiter(p, 10, Section(1), twelve);
         std::vector<std::string> thirteen(12, "");
         thirteen.push_back("RtlEnterCriticalSection");
         Waiter(p, 20, Section(1), thirteen);
         EventWaiter(p, 30);
         p.AddSection(Section(1), 30, 1);
       },
       Held(10, Section(1), 30)},
      {"a word pointing into another thread's guard page",
       [=](sim::Process& p) {
         sim::Thread& other = EventWaiter(p, 20);
         Waiter(p, 10, Section(1)).stack.pinned[0x08] = other.stack.GuardStart() + 0x800;
         p.AddSection(Section(1), 20, 1);
       },
       Held(10, Section(1), 20)},
      {"the names of NT 4.0, current Windows and Wine",
       [=](sim::Process& p) {
         Waiter(p, 10, Section(1),
                {"ZwWaitForSingleObject", "_RtlpWaitForCriticalSection@4", "_RtlEnterCriticalSection@4"});
         Waiter(p, 20, Section(1),
                {"NtWaitForAlertByThreadId", "RtlpWaitOnAddress", "RtlpWaitOnCriticalSection",
                 "RtlpEnterCriticalSectionContended", "RtlEnterCriticalSection"});
         Waiter(p, 30, Section(1), {"", "NtWaitForSingleObject", "RtlEnterCriticalSection"});
         Waiter(p, 40, Section(1), {"NtWaitForSingleObject", "WaitForSingleObjectEx", "RtlEnterCriticalSection"});
         p.AddSection(Section(1), 50, 1);
         EventWaiter(p, 50);
       },
       Held(10, Section(1), 50) + Held(20, Section(1), 50) + Held(30, Section(1), 50)},
  };
}

TEST(WaitChain, EachSceneGivesExactlyItsLines) {
  // The 64-bit build reads a 32-bit process's sections and stack words in
  // its width and says what the 32-bit build says of it.
  for (uint64_t word : ProcessWords()) {
    for (const Scene& scene : SectionScenes(word)) {
      sim::Machine m = WaitMachine();
      sim::Process& p = *m.FindProcess(120);
      SetWidth(p, word);
      scene.build(p);
      sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
      EXPECT_EQ(r.status, 0) << scene.name << word;
      EXPECT_EQ(WaitLines(r.out), Narrowed(scene.lines, word)) << scene.name << word;
      EXPECT_EQ(m.OpenHandleCount(), 0) << scene.name << word;
      EXPECT_TRUE(m.books().misuses.empty()) << scene.name << word << ::testing::PrintToString(m.books().misuses);
    }
  }
}

// A process of the tool's width names its loader lock in its own block:
// when that says none, no later waiter asks again.
TEST(WaitChain, LoaderLockOfTheToolsWidthIsLookedForOnce) {
  std::vector<int> queries;
  for (DWORD waiters : {1, 3}) {
    sim::Machine m = WaitMachine();
    sim::Process& p = *m.FindProcess(120);
    p.AddSection(Section(1), 10, 1);
    EventWaiter(p, 10);
    for (DWORD i = 0; i < waiters; ++i) Waiter(p, 20 + 10 * i, Section(1));
    RunThreadsift(m, {"-p", "120", "-w"});
    queries.push_back(m.CallCount("NtQueryInformationProcess"));
  }
  EXPECT_EQ(queries[0], queries[1]);
}

#if defined(_WIN64)
// A 32-bit process's loader lock is found through a waiter's environment
// block: one that cannot be read leaves it to the next waiter.
TEST(WaitChain, LoaderLockIsLookedForThroughTheNextWaiterWhenABlockCannotBeRead) {
  sim::Machine m = WaitMachine();
  sim::Process& p = *m.FindProcess(120);
  SetWidth(p, 4);
  p.SetLoaderLock(Section(1));
  p.AddSection(Section(1), 10, 1);
  EventWaiter(p, 10);
  sim::Thread& first = Waiter(p, 20, Section(1));
  Waiter(p, 30, Section(1));
  m.FailFor("ReadProcessMemory", first.stack.EnvironmentBlock32() + 0x30, ERROR_PARTIAL_COPY);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
  EXPECT_EQ(WaitLines(r.out), Narrowed(Held(20, Section(1), 10) + Waits(30, Section(1), " (the loader lock) held by " +
                                                                                            Id(10)),
                                       4));
}
#endif

// A holder has ended only where the platform says so: it knows no such
// thread, or a handle that keeps it gives its exit status.
TEST(WaitChain, HolderIsSaidToHaveEndedOnlyWhereThePlatformSaysSo) {
  struct Row {
    const char* name;
    std::function<void(sim::Machine&, sim::Process&)> build;
    std::string lines;
  };
  const Row rows[] = {
      {"a holder the platform will not open",
       [](sim::Machine& m, sim::Process& p) {
         p.AddThread(66).listedInSnapshots = 0;
         p.AddSection(Section(1), 66, 1);
         m.FailStatusFor("NtOpenThread", 66, STATUS_ACCESS_DENIED);
       },
       Held(10, Section(1), 66)},
      {"a listed holder that has ended",
       [](sim::Machine&, sim::Process& p) {
         p.AddThread(88).exited = true;
         p.AddSection(Section(1), 88, 1);
       },
       Waits(10, Section(1), " held by " + Id(88) + ", which has ended")},
  };
  for (uint64_t word : ProcessWords()) {
    for (const Row& row : rows) {
      sim::Machine m = WaitMachine();
      sim::Process& p = *m.FindProcess(120);
      SetWidth(p, word);
      Waiter(p, 10, Section(1));
      row.build(m, p);
      sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
      EXPECT_EQ(WaitLines(r.out), Narrowed(row.lines, word)) << row.name << word;
      EXPECT_EQ(m.OpenHandleCount(), 0) << row.name << word;
    }
  }
}

}  // namespace

// Threads 10 and 20 of process 120 wait for each other; 30 waits for an event.
sim::Machine CycleMachine() {
  sim::Machine m = WaitMachine();
  sim::Process& p = *m.FindProcess(120);
  Waiter(p, 10, Section(1));
  Waiter(p, 20, Section(2));
  EventWaiter(p, 30);
  p.AddSection(Section(1), 20, 1);
  p.AddSection(Section(2), 10, 1);
  return m;
}

namespace {

TEST(WaitChain, WaitLineFollowsTheFramesAndCyclesFollowTheLastThread) {
  sim::Machine m = CycleMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
  EXPECT_THAT(r.out, HasSubstr("app.exe!main" + Params(0, 0, 0, 0) + "+16\n" + Held(10, Section(1), 20) +
                               "\nThread 20 (0x14)\n"));
  EXPECT_THAT(r.out, EndsWith("app.exe!main" + Params(0, 0, 0, 0) + "+16\n\n" + Deadlock({10, 20}) + "\n"));
}

TEST(WaitChain, WithoutTheOptionEveryByteAndEveryHoldStayTheSame) {
  sim::Machine plain = CycleMachine();
  sim::RunResult without = RunThreadsift(plain, {"-p", "120"});
  sim::Machine waits = CycleMachine();
  sim::RunResult with = RunThreadsift(waits, {"-p", "120", "-w"});
  std::string expected = with.out;
  for (const std::string& line : {Held(10, Section(1), 20), Held(20, Section(2), 10), Deadlock({10, 20}) + "\n"}) {
    size_t at = expected.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    expected.erase(at, line.size());
  }
  EXPECT_EQ(without.out, expected);
  EXPECT_EQ(WaitLines(without.out), "");
  EXPECT_EQ(CallsWhileSuspended(plain), CallsWhileSuspended(waits));

  // Without a wait, or a cycle, the option adds nothing at all.
  sim::Machine quiet = StackMachine();
  sim::Machine asked = StackMachine();
  EXPECT_EQ(RunThreadsift(asked, {"-p", "120", "-w"}).out, RunThreadsift(quiet, {"-p", "120"}).out);
}

TEST(WaitChain, OneThreadGetsItsLineAndNoCycle) {
  sim::Machine m = CycleMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20", "-w"});
  EXPECT_EQ(WaitLines(r.out), Held(20, Section(2), 10));
}

TEST(WaitChain, SweepFindsTheCyclesOfEachProcessInItsOwnReport) {
  sim::Machine m = CycleMachine();
  sim::Process& other = m.AddProcess(130, u"other.exe");
  other.modules = m.FindProcess(120)->modules;
  Waiter(other, 60, Section(1));
  Waiter(other, 70, Section(2));
  other.AddSection(Section(1), 70, 1);
  other.AddSection(Section(2), 60, 1);
  sim::RunResult r = RunThreadsift(m, {"-w", "-p", "*"});
  EXPECT_EQ(WaitLines(r.out), Held(10, Section(1), 20) + Held(20, Section(2), 10) + Deadlock({10, 20}) +
                                  Held(60, Section(1), 70) + Held(70, Section(2), 60) + Deadlock({60, 70}));
  EXPECT_THAT(r.out, HasSubstr(Deadlock({10, 20}) + "\n" + kSeparator + kSelfHeader));
}

TEST(WaitChain, CycleThroughHundredsOfThreadsIsOneLine) {
  sim::Machine m = WaitMachine();
  sim::Process& p = *m.FindProcess(120);
  const DWORD kThreads = 300;
  std::vector<DWORD> cycle;
  for (DWORD n = 0; n < kThreads; ++n) {
    DWORD tid = 1000 + 4 * n;
    cycle.push_back(tid);
    Waiter(p, tid, Section((int)n));
    p.AddSection(Section((int)n), 1000 + 4 * ((n + 1) % kThreads), 1);
  }
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
  EXPECT_THAT(r.out, HasSubstr("\n" + Deadlock(cycle) + "\n"));
  EXPECT_EQ(r.status, 0);
}

}  // namespace
