#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::HasSubstr;

namespace {

// Process 120, app.exe, with threads 9, 10 and 20. Thread 10 shows stack A,
// then A again at other addresses in the same functions, then B, then A;
// threads 9 and 20 always show the same stack. Thread 20 runs through a
// module without symbols and through memory outside every module.
sim::Machine SampledMachine() {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"app.exe");
  sim::Module& app = p.AddModule(0x400000, 0x10000, "app.exe", "C:\\app\\app.exe");
  app.AddSymbol(0x401000, 0x100, "?Run@Worker@@QAEXXZ", "public: void __thiscall Worker::Run(void)").nameOnly =
      "Worker::Run";
  app.AddSymbol(0x402000, 0x80, "_main");
  app.AddSymbol(0x403000, 0x100, "?Odd@@YAXXZ", "void __cdecl Odd(void)").nameOnly = "Odd;Name\n";
  p.AddModule(0x77f00000, 0x100000, "kernel32.dll", "C:\\WINNT\\system32\\kernel32.dll")
      .AddSymbol(0x77f8abb3, 0x40, "WaitForSingleObjectEx");
  p.AddModule(0x500000, 0x1000, "nosym.dll", "C:\\app\\nosym.dll");
  p.AddThread(9).AddFrame(0x402000);
  const std::vector<sim::Frame> a = {{0x77f8abcd, {}}, {0x401024, {}}, {0x402000, {}}};
  const std::vector<sim::Frame> a2 = {{0x77f8abd0, {}}, {0x401030, {}}, {0x402010, {}}};
  const std::vector<sim::Frame> b = {{0x403010, {}}, {0x402000, {}}};
  p.AddThread(10).samples = {a, a2, b, a};
  p.AddThread(20).AddFrame(0x500010).AddFrame(0x610000);
  AddSelf(m);
  m.performanceCounterStep = 5;  // each reading of the counter: 5 microseconds later
  return m;
}

const std::string kHeader = "Process 120 (0x78)  app.exe 3 thread(s)\n\n";
// The folded line of each thread's stack (stack A for thread 10), counted.
std::string Thread9(int count) { return "app.exe;9;app.exe!_main " + std::to_string(count) + "\n"; }
std::string Thread10A(int count) {
  return "app.exe;10;app.exe!_main;app.exe!Worker::Run;kernel32.dll!WaitForSingleObjectEx " + std::to_string(count) +
         "\n";
}
const std::string kThread10B = "app.exe;10;app.exe!_main;app.exe!Odd_Name_ 1\n";
std::string Thread20(int count) {
  return "app.exe;20;0x" + Hex(0x610000) + ";nosym.dll!0x" + Hex(0x500010) + " " + std::to_string(count) + "\n";
}

TEST(StackSampler, CountsEachThreadsStacksByTheirFramesAndNamesEachAddressOnce) {
  sim::Machine m = SampledMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-s", "4"});
  // Highest count first; equal counts by their text ("20" before "9").
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader + Thread20(4) + Thread9(4) + Thread10A(3) + kThread10B +
                       "\n4 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n");
  EXPECT_EQ(r.status, 0);
  // Eight distinct addresses inside modules, each looked up once.
  EXPECT_EQ(m.CallCount(kWide ? "SymGetSymFromAddr64" : "SymGetSymFromAddr"), 8);
  // Each stack's region is asked for once, before the thread's first hold:
  // it stays where it was from sample to sample.
  EXPECT_EQ(m.CallCount("VirtualQueryEx"), 3);

  // Thread 9 waits: its registers, and its stack bytes where the walk reads,
  // stay as they were, so its frames are found once and taken from there;
  // the others are walked in every sample (thread 10's bytes stay too, but
  // its registers change). (Above, thread 9's bytes change
  // each time it runs, as a running thread's do, and it is walked each time.)
  const std::string op = kWide ? "StackWalk64" : "StackWalk";
  sim::Machine still = SampledMachine();
  still.FindProcess(120)->FindThread(9)->stack.still = true;
  still.FindProcess(120)->FindThread(10)->stack.still = true;  // its registers change: walked each time
  r = RunThreadsift(still, {"-p", "120", "-s", "4"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader + Thread20(4) + Thread9(4) + Thread10A(3) + kThread10B +
                       "\n4 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n");
  // Thread 20's frame outside every module has the modules listed again in
  // the first sample, which forgets the kept walks: thread 9 is walked in
  // the first two samples (its one frame, and the step that ends the walk).
  EXPECT_EQ(m.CallCount(op) - still.CallCount(op), 2 * 2);
  EXPECT_EQ(m.CallCount("GetFileVersionInfoSizeA"), 0);  // no module listing, so no version labels
  std::map<std::string, int> heldFor = {{"GetThreadContext", 12}, {"ReadProcessMemory", 12}};
  EXPECT_EQ(CallsWhileSuspended(m), heldFor);
  // Each thread is opened, and its stack base read, once for the run.
  EXPECT_EQ(m.CallCount("NtOpenThread"), 3);
  EXPECT_EQ(m.CallCount("NtQueryInformationThread"), 3);
  EXPECT_EQ(m.CallArgs("Sleep"), std::vector<std::string>(3, "10"));
  for (DWORD tid : {9u, 10u, 20u}) EXPECT_EQ(m.SuspendCount(tid), 0) << tid;
  EXPECT_EQ(m.OpenHandleCount(), 0);
  EXPECT_EQ(m.LiveAllocationCount(), 0);
  EXPECT_EQ(m.books().ctrlHandlers, 0);
  EXPECT_TRUE(m.books().misuses.empty()) << ::testing::PrintToString(m.books().misuses);

  // One thread, a longer interval waited in steps.
  sim::Machine one = SampledMachine();
  r = RunThreadsift(one, {"-p", "120", "-s", "4", "-i", "120", "-t", "10"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader + Thread10A(3) + kThread10B +
                       "\n4 sample(s), 1 thread(s) seen, longest hold 5 us, 0 miss(es)\n");
  EXPECT_EQ(one.CallArgs("Sleep"), (std::vector<std::string>{"50", "50", "20", "50", "50", "20", "50", "50", "20"}));
  EXPECT_EQ(one.CallCount("SuspendThread"), 4);

  // Samples begin the interval apart: a sample that takes 7 ms of 10 is
  // followed by a wait of 3; one that takes longer, by none.
  sim::Machine slow = SampledMachine();
  slow.performanceCounterStep = 1000;
  r = RunThreadsift(slow, {"-p", "120", "-s", "4"});
  EXPECT_EQ(slow.CallArgs("Sleep"), std::vector<std::string>(3, "3"));
  sim::Machine slower = SampledMachine();
  slower.performanceCounterStep = 4000;
  r = RunThreadsift(slower, {"-p", "120", "-s", "4"});
  EXPECT_EQ(slower.CallCount("Sleep"), 0);
  EXPECT_THAT(r.out, HasSubstr("\n4 sample(s), 3 thread(s) seen, longest hold 4000 us, 0 miss(es)\n"));

  // A thread whose stack pointer stands in its guard page is sampled
  // without a read of that page.
  sim::Machine guarded = SampledMachine();
  sim::Stack& stack = guarded.FindProcess(120)->FindThread(9)->stack;
  stack.depth = stack.committed + 0x800;
  r = RunThreadsift(guarded, {"-p", "120", "-s", "4"});
  EXPECT_THAT(r.out, HasSubstr(Thread9(4)));
  EXPECT_TRUE(guarded.books().misuses.empty()) << ::testing::PrintToString(guarded.books().misuses);

  // A space is no control character: names keep theirs.
  sim::Machine spaced;
  sim::Process& p = spaced.AddProcess(130, u"My App.exe");
  p.AddModule(0x400000, 0x1000, "My App.exe", "C:\\app\\My App.exe")
      .AddSymbol(0x400100, 0x10, "??2@YAPAXI@Z", "void * __cdecl operator new(unsigned int)")
      .nameOnly = "operator new";
  p.AddThread(7).AddFrame(0x400104);
  AddSelf(spaced);
  r = RunThreadsift(spaced, {"-p", "130", "-s", "1"});
  EXPECT_THAT(r.out, HasSubstr("\nMy App.exe;7;My App.exe!operator new 1\n"));
}

// A kept walk holds at most 256 frames: a deeper one is made again in every
// sample, however still its thread stands.
TEST(StackSampler, OnlyAWalkOfAtMost256FramesIsKept) {
  const std::string op = kWide ? "StackWalk64" : "StackWalk";
  auto steps = [&](size_t frames, bool still) {
    sim::Machine m = SampledMachine();
    sim::Thread& t = *m.FindProcess(120)->FindThread(9);
    t.stack.still = still;
    t.stack.depth = 0x8000;  // room for every frame's reads in the copy
    while (t.frames.size() < frames) t.AddFrame(0x402000);
    RunThreadsift(m, {"-p", "120", "-s", "4"});
    return m.CallCount(op);
  };
  // Kept after the second sample (the modules are listed again in the
  // first): two walks of 256 frames and the step that ends each are saved.
  EXPECT_EQ(steps(256, false) - steps(256, true), 2 * 257);
  EXPECT_EQ(steps(257, false), steps(257, true));
}

// A walk that reads outside the stack copy (a stack deeper than its copy
// holds: the frames' reads run past its end), where no module's pages lie,
// may read something else next time: it is made again in every sample, its
// stack bytes unchanged or not.
TEST(StackSampler, WalkThatReadsOutsideTheStackAndTheKeptModulePagesIsNotKept) {
  const std::string op = kWide ? "StackWalk64" : "StackWalk";
  auto steps = [&](bool still) {
    sim::Machine m = SampledMachine();
    sim::Thread& t = *m.FindProcess(120)->FindThread(9);
    t.stack.still = still;
    while (t.frames.size() < 200) t.AddFrame(0x402000);
    RunThreadsift(m, {"-p", "120", "-t", "9", "-s", "4"});
    return m.CallCount(op);
  };
  EXPECT_EQ(steps(true), steps(false));
}

// A stack base that could not be read, or that belongs to another stack
// than the one the thread runs on, is read again: the stack is copied by
// its base from then on, with no region query while the thread is held
// (but one, the first time: the region below the base, or the region that
// holds the pointer).
TEST(StackSampler, StackBaseThatDoesNotFitIsReadAgain) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&, sim::Thread&);
    int queriesWhileHeld;
  };
  const Case cases[] = {
      {"first read fails",
       [](sim::Machine& m, sim::Thread&) { m.FailStatus("NtQueryInformationThread", STATUS_ACCESS_DENIED, 1); }, 1},
      {"first read finds another stack's base",
       [](sim::Machine&, sim::Thread& t) { t.stack.firstRecordedBase = t.stack.Pointer() & ~0xfffull; }, 1},
  };
  for (const Case& c : cases) {
    sim::Machine m = SampledMachine();
    c.arrange(m, *m.FindProcess(120)->FindThread(10));
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-s", "4", "-t", "10"});
    EXPECT_THAT(r.out, HasSubstr(Thread10A(3) + kThread10B)) << c.name;
    EXPECT_EQ(CallsWhileSuspended(m)["VirtualQueryEx"], c.queriesWhileHeld) << c.name;
    EXPECT_EQ(m.CallCount("NtQueryInformationThread"), 2) << c.name;
  }
}

// A module loaded after the sampling began is registered, and its frames
// named, once a sampled frame lies outside every registered module; the
// modules are listed again at most once a second (thread 20 always has a
// frame outside every module). The clock moves only while the tool sleeps:
// samples begin exactly the interval apart.
TEST(StackSampler, ModuleLoadedWhileSamplingIsRegisteredWhenAFrameLiesInIt) {
  const std::string bare = "app.exe;9;app.exe!_main;0x" + Hex(0x600110) + " ";
  const std::string named = "app.exe;9;app.exe!_main;late.dll!LateWork ";
  struct Case {
    const char* name;
    const char* interval;
    int listedFromCall;  // of EnumProcessModules: the first is the one before sampling
    std::string lines;
    int listings;
  };
  const Case cases[] = {
      {"loaded before the first sample", "10", 2, named + "4\n", 2},
      {"listed again a second later", "600", 2, named + "4\n", 3},
      // Loaded just after the first sample's listing: named in the third.
      {"loaded within a second of a listing", "600", 3, bare + "2\n" + named + "2\n", 3},
      {"listed again exactly a second later", "500", 3, bare + "2\n" + named + "2\n", 3},
  };
  for (const Case& c : cases) {
    sim::Machine m = SampledMachine();
    m.performanceCounterStep = 0;
    sim::Process& p = *m.FindProcess(120);
    sim::Module& late = p.AddModule(0x600000, 0x1000, "late.dll", "C:\\app\\late.dll");
    late.AddSymbol(0x600100, 0x20, "LateWork");
    late.listedFromCall = c.listedFromCall;
    p.FindThread(9)->frames = {{0x600110, {}}, {0x402000, {}}};
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-s", "4", "-i", c.interval});
    EXPECT_THAT(r.out, HasSubstr("\n" + c.lines)) << c.name;
    EXPECT_EQ(m.CallCount("EnumProcessModules"), c.listings) << c.name;
    EXPECT_EQ(m.CallCount("GetFileVersionInfoSizeA"), 0) << c.name;
  }
}

// A module unloaded while sampling, or replaced by another at its
// addresses (another file, or another build of the same file), is dropped
// with its registration when the modules are listed again a second after
// the last listing, and the addresses in it are named again. Thread 9 runs
// in it; the modules are listed before the sampling and in the first and
// third samples, and the change comes before the third listing.
TEST(StackSampler, ModuleUnloadedOrReplacedWhileSamplingIsDroppedAndItsFramesNamedAgain) {
  const std::string stack = "app.exe;9;app.exe!_main;";
  struct Case {
    const char* name;
    uint64_t base;  // of the module loaded in its place; 0: none
    DWORD size;
    const char* path;
    DWORD timeStamp;
    std::string after;  // thread 9's line of the last two samples
  };
  const Case cases[] = {
      {"unloaded", 0, 0, "", 0, stack + "0x" + Hex(0x600110) + " 2\n"},
      {"replaced by another file", 0x600000, 0x1000, "C:\\app\\other.dll", 0x3A000000,
       stack + "other.dll!OtherWork 2\n"},
      {"replaced by another build of the same file", 0x600000, 0x1000, "C:\\app\\late.dll", 0x3B000000,
       stack + "late.dll!OtherWork 2\n"},
      {"overlapped by a larger one below it", 0x5ff000, 0x3000, "C:\\app\\other.dll", 0x3A000000,
       stack + "other.dll!OtherWork 2\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m = SampledMachine();
    m.performanceCounterStep = 0;
    sim::Process& p = *m.FindProcess(120);
    sim::Module& gone = p.AddModule(0x600000, 0x1000, "late.dll", "C:\\app\\late.dll");
    gone.AddSymbol(0x600100, 0x20, "LateWork");
    gone.unloadedAtCall = 3;
    if (c.base != 0) {
      std::string path = c.path;
      sim::Module& later = p.AddModule(c.base, c.size, path.substr(path.rfind('\\') + 1), path);
      later.AddSymbol(0x600100, 0x20, "OtherWork");
      later.timeStamp = c.timeStamp;
      later.listedFromCall = 3;
    }
    p.FindThread(9)->frames = {{0x600110, {}}, {0x402000, {}}};
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-s", "4", "-i", "600"});
    EXPECT_THAT(r.out, HasSubstr("\n" + stack + "late.dll!LateWork 2\n")) << c.name;
    EXPECT_THAT(r.out, HasSubstr("\n" + c.after)) << c.name;
    EXPECT_EQ(m.CallCount("EnumProcessModules"), 3) << c.name;
    EXPECT_EQ(m.CallArgs(kWide ? "SymUnloadModule64" : "SymUnloadModule"), std::vector<std::string>{"0x600000"})
        << c.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << c.name;
  }
}

// A module whose facts cannot be read when the modules are listed again is
// kept, and its frames still named: it is not known to be gone.
TEST(StackSampler, ModuleThatCannotBeReadWhenListedAgainIsKept) {
  sim::Machine m = SampledMachine();
  m.performanceCounterStep = 0;
  sim::Process& p = *m.FindProcess(120);
  p.AddModule(0x600000, 0x1000, "late.dll", "C:\\app\\late.dll").AddSymbol(0x600100, 0x20, "LateWork");
  p.FindThread(9)->frames = {{0x600110, {}}, {0x402000, {}}};
  // The last module of the third listing: late.dll.
  m.Fail("GetModuleInformation", ERROR_ACCESS_DENIED, 12);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-s", "4", "-i", "600"});
  EXPECT_THAT(r.out, HasSubstr("\napp.exe;9;app.exe!_main;late.dll!LateWork 4\n"));
  EXPECT_EQ(m.CallCount("EnumProcessModules"), 3);
  EXPECT_EQ(m.CallCount("GetModuleInformation"), 12);
  EXPECT_EQ(m.CallCount(kWide ? "SymUnloadModule64" : "SymUnloadModule"), 0);
}

// A fault inside a symbol lookup ends only that frame's name: the frame is
// named by its address and the sampling goes on.
TEST(StackSampler, FaultWhileNamingAFrameNamesItByItsAddress) {
  sim::Machine m = SampledMachine();
  m.FaultFor(kWide ? "SymGetSymFromAddr64" : "SymGetSymFromAddr", 0x403010);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-s", "4"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader + Thread20(4) + Thread9(4) + Thread10A(3) +
                       "app.exe;10;app.exe!_main;app.exe!0x" + Hex(0x403010) + " 1\n" +
                       "\n4 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

TEST(StackSampler, ThreadsThatComeGoOrCannotBeOpenedAreCountedWhileTheyExist) {
  sim::Machine m = SampledMachine();
  sim::Process& p = *m.FindProcess(120);
  p.FindThread(20)->listedInSnapshots = 2;                       // ends after the second sample
  p.AddThread(30).AddFrame(0x402000).firstListedInSnapshot = 2;  // starts before the third
  p.AddThread(40).AddFrame(0x402000);
  m.FailStatusFor("NtOpenThread", 40, STATUS_INVALID_CID);
  p.FindThread(10)->created = {1, 1, 2};               // a new thread takes over id 10 before the third sample
  m.Fail("GetThreadContext", ERROR_ACCESS_DENIED, 2);  // thread 10 cannot be read in the first sample
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-s", "4"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "Process 120 (0x78)  app.exe 4 thread(s)\n\n" + Thread9(4) + Thread10A(2) +
                       Thread20(2) + "app.exe;30;app.exe!_main 2\n" + kThread10B +
                       "\n4 sample(s), 5 thread(s) seen, longest hold 5 us, 5 miss(es)\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.OpenHandleCount(), 0);
  // A thread is opened again after a miss and when its id names a newer
  // thread; one that cannot be opened is tried again in every sample.
  std::vector<std::string> opened = m.CallArgs("NtOpenThread");
  EXPECT_EQ(std::count(opened.begin(), opened.end(), "0x1f03ff,120,10"), 3);
  EXPECT_EQ(std::count(opened.begin(), opened.end(), "0x1f03ff,120,9"), 1);
  EXPECT_EQ(std::count(opened.begin(), opened.end(), "0x1f03ff,120,40"), 4);
  // Thread 20's handle is closed once a snapshot no longer lists it, not
  // when the run ends.
  const std::vector<sim::CallRecord>& calls = m.books().calls;
  size_t closed = calls.size(), lastSuspend = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].op == "CloseHandle" && calls[i].args.find(",thread:20") != std::string::npos) closed = i;
    if (calls[i].op == "SuspendThread") lastSuspend = i;
  }
  EXPECT_LT(closed, lastSuspend);
}

// Between listings, a thread that ends is found by its failed hold: it is
// no miss, and the threads are listed again before the next sample; one
// that starts is sampled from the next listing, a tenth of a second on.
TEST(StackSampler, ThreadsAreListedAgainEveryTenthOfASecondAndOnceAThreadHasEnded) {
  struct Scene {
    const char* what;
    std::function<void(sim::Process&)> change;
    std::vector<std::string> args;
    std::string out;
  };
  const std::string thread30 = "app.exe;30;app.exe!_main ";
  const std::vector<Scene> scenes = {
      {"started", [](sim::Process& p) { p.AddThread(30).AddFrame(0x402000).firstListedInSnapshot = 1; },
       {"-s", "12"},
       Thread20(12) + Thread9(12) + Thread10A(11) + thread30 + "2\n" + kThread10B +
           "\n12 sample(s), 4 thread(s) seen, longest hold 5 us, 0 miss(es)\n"},
      {"ended, then one started",
       [](sim::Process& p) {
         sim::Thread& ending = *p.FindThread(20);
         ending.suspendsBeforeEnd = 2;
         ending.listedInSnapshots = 1;
         p.AddThread(30).AddFrame(0x402000).firstListedInSnapshot = 1;
       },
       {"-s", "4"},
       Thread9(4) + Thread10A(3) + Thread20(2) + kThread10B + thread30 + "1\n" +
           "\n4 sample(s), 4 thread(s) seen, longest hold 5 us, 0 miss(es)\n"},
      {"process ended",
       [](sim::Process& p) {
         for (DWORD tid : {9u, 10u, 20u}) p.FindThread(tid)->suspendsBeforeEnd = 2;
         p.listedInSnapshots = 1;
       },
       {"-s", "4"},
       Thread10A(2) + Thread20(2) + Thread9(2) +
           "\n2 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n"
           "[4000] EnumProcessThreads pid 120 error 87\n"},
  };
  for (const Scene& scene : scenes) {
    SCOPED_TRACE(scene.what);
    sim::Machine m = SampledMachine();
    scene.change(*m.FindProcess(120));
    std::vector<std::string> args = {"-p", "120"};
    args.insert(args.end(), scene.args.begin(), scene.args.end());
    sim::RunResult r = RunThreadsift(m, args);
    EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader + scene.out);
    EXPECT_EQ(m.OpenHandleCount(), 0);
  }
}

TEST(StackSampler, EndsEarlyWithWhatItGatheredThenTheFailureOrTheInterrupt) {
  // The process ends after the second sample (a tenth of a second apart,
  // every sample lists the threads).
  sim::Machine gone = SampledMachine();
  gone.FindProcess(120)->listedInSnapshots = 2;
  sim::RunResult r = RunThreadsift(gone, {"-p", "120", "-s", "4", "-i", "100"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader + Thread10A(2) + Thread20(2) + Thread9(2) +
                       "\n2 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n" +
                       "[4000] EnumProcessThreads pid 120 error 87\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(gone.OpenHandleCount(), 0);
  EXPECT_EQ(gone.LiveAllocationCount(), 0);

  // The snapshot fails before the third sample.
  sim::Machine unlisted = SampledMachine();
  unlisted.FailStatus("NtQuerySystemInformation", STATUS_ACCESS_DENIED, 3);
  r = RunThreadsift(unlisted, {"-p", "120", "-s", "4", "-i", "100"});
  EXPECT_THAT(r.out, HasSubstr("\n2 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n"
                               "GetRawNtSystemInfo error 5\n[4000] EnumProcessThreads pid 120 error 5\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(unlisted.LiveAllocationCount(), 0);

  // A thread that cannot be resumed ends the sampling at once; the sample
  // in hand counts with the stack it took.
  sim::Machine stuck = SampledMachine();
  stuck.Fail("ResumeThread", ERROR_INVALID_HANDLE, 5);  // thread 10 in the second sample
  r = RunThreadsift(stuck, {"-p", "120", "-s", "4"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader + Thread9(2) + Thread10A(1) + Thread20(1) +
                       "\n2 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n"
                       "ResumeThread error 6\nWalkThread 10 error 6\n");
  EXPECT_EQ(r.status, 1);

  // A break key in the middle of a long wait ends it there.
  sim::Machine longWait = SampledMachine();
  longWait.RaiseCtrlEventAtCall("Sleep", 1);
  r = RunThreadsift(longWait, {"-p", "120", "-s", "4", "-i", "120"});
  EXPECT_THAT(r.out, HasSubstr("\n1 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n\n* Interrupt *\n"));
  EXPECT_EQ(longWait.CallArgs("Sleep"), std::vector<std::string>{"50"});

  // A break key during the second wait: two samples, then the interrupt.
  sim::Machine broken = SampledMachine();
  broken.RaiseCtrlEventAtCall("Sleep", 2);
  r = RunThreadsift(broken, {"-p", "120", "-s", "4"});
  EXPECT_THAT(r.out, HasSubstr(kHeader + "app.exe;10;"));
  EXPECT_THAT(r.out, HasSubstr("\n2 sample(s), 3 thread(s) seen, longest hold 5 us, 0 miss(es)\n\n* Interrupt *\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(broken.CallCount("SuspendThread"), 6);

  // The console closes while thread 9 is held, and the tool runs on a
  // moment before the platform ends it: no thread is suspended after.
  sim::Machine closing = SampledMachine();
  closing.runsOnAfterClose = true;
  closing.RaiseCtrlEventAtCall("GetThreadContext", 1, CTRL_CLOSE_EVENT);
  r = RunThreadsift(closing, {"-p", "120", "-s", "4"});
  EXPECT_THAT(r.out, HasSubstr("\n1 sample(s), 3 thread(s) seen, longest hold 5 us, 2 miss(es)\n"));
  EXPECT_EQ(closing.CallCount("SuspendThread"), 1);
  EXPECT_EQ(closing.SuspendCount(9), 0);
}

}  // namespace
