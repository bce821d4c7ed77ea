#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Run.h"
#include "Scenarios.h"
#include "ToolRuns.h"
#include "simwin_api.h"
#include "threadsift/base/Interrupt.h"
#include "threadsift/process/ProcessSession.h"
#include "threadsift/process/ProcessWalk.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/thread/StackCopy.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

namespace {

const char kNoVersion[] = "-.--.----.----";

}  // namespace

// Process 120 with app.exe, kernel32.dll and a module with a long name, and
// threads 10, 20 and 30 whose stacks touch each of them.
sim::Machine StackMachine() {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"app.exe");
  sim::Module& app = p.AddModule(0x400000, 0x10000, "app.exe", "C:\\app\\app.exe");
  app.AddSymbol(0x401000, 0x100, "?Run@Worker@@QAEXXZ", "public: void __thiscall Worker::Run(void)")
      .AddLine(0x401000, "C:\\src\\worker.cpp", 40)
      .AddLine(0x401020, "C:\\src\\worker.cpp", 42);
  app.AddSymbol(0x402000, 0x80, "_main");
  p.AddModule(0x77f00000, 0x100000, "kernel32.dll", "C:\\WINNT\\system32\\kernel32.dll")
      .AddSymbol(0x77f8abb3, 0x40, "WaitForSingleObjectEx");
  p.AddModule(0x500000, 0x1000, "averyverylongname.dll", "C:\\app\\averyverylongname.dll");
  p.AddThread(10).AddFrame(0x402000);
  p.AddThread(20)
      .AddFrame(0x77f8abcd, 0x70, 0xffffffff, 0, 0x12ff80)
      .AddFrame(0)
      .AddFrame(0x401024, 1, 2, 3, 4)
      .AddFrame(0x401000)
      .AddFrame(0x402000)
      .AddFrame(0x40ffff)
      .AddFrame(0x410000)
      .AddFrame(0x500010);
  p.AddThread(30).AddFrame(0x402010);
  AddSelf(m);
  return m;
}

namespace {

const std::string kListing = ModuleRow(0x400000, 0x10000, kNoVersion, "C:\\app\\app.exe") +
                             ModuleRow(0x500000, 0x1000, kNoVersion, "C:\\app\\averyverylongname.dll") +
                             ModuleRow(0x77f00000, 0x100000, kNoVersion, "C:\\WINNT\\system32\\kernel32.dll");
const std::string kHeader = "Process 120 (0x78)  app.exe 3 thread(s)\n\n" + kListingHeader + kListing + "\n";

// The lines of thread 20, frame by frame.
const std::string kWaitFrame =
    Hex(0x77f8abcd) + " = kernel32.dll!WaitForSingleObjectEx" + Params(0x70, 0xffffffff, 0, 0x12ff80) + "+26\n";
const std::string kThread20Frames =
    kWaitFrame + Hex(0x401024) + " =      app.exe!public: void __thiscall Worker::Run(void)" + Params(1, 2, 3, 4) +
    "+36 C:\\src\\worker.cpp(42)\n" + Hex(0x401000) + " =      app.exe!public: void __thiscall Worker::Run(void)" +
    Params(0, 0, 0, 0) + " C:\\src\\worker.cpp(40)\n" + Hex(0x402000) + " =      app.exe!_main" + Params(0, 0, 0, 0) +
    "\n" + Hex(0x40ffff) + " =      app.exe!" + Hex(0x40ffff) + "()\n" + Hex(0x410000) + " = " + Hex(0x410000) +
    "()\n" + Hex(0x500010) + " = averyverylongname.dll!" + Hex(0x500010) + "()\n";

// The lines of threads 10 and 30 when all threads are walked.
const std::string kThread10Frames = Hex(0x402000) + " =      app.exe!_main" + Params(0, 0, 0, 0) + "\n";
const std::string kThread30Frames = Hex(0x402010) + " =      app.exe!_main" + Params(0, 0, 0, 0) + "+16\n";

// The report of every thread, with thread 20's lines as given.
std::string AllThreads(const std::string& thread20) {
  return kBanner + kRunHeader + kHeader + "Thread 10 (0xa)\n" + kThread10Frames + "\nThread 20 (0x14)\n" + thread20 +
         "\nThread 30 (0x1e)\n" + kThread30Frames + "\n";
}

std::string Thread20(const std::string& lines) {
  return kBanner + kRunHeader + kHeader + "Thread 10 (0xa)\n\nThread 20 (0x14)\n" + lines + "\nThread 30 (0x1e)\n\n";
}

void ExpectThreadsLeftAsFound(const sim::Machine& m) {
  for (DWORD tid : {10u, 20u, 30u}) EXPECT_EQ(m.SuspendCount(tid), 0) << tid;
  EXPECT_EQ(m.OpenHandleCount(), 0);
  EXPECT_TRUE(m.books().misuses.empty()) << ::testing::PrintToString(m.books().misuses);
}

TEST(ThreadWalk, PrintsEveryFrameOutcomeWhileTheThreadIsSuspended) {
  sim::Machine m = StackMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
  EXPECT_EQ(r.out, Thread20(kThread20Frames));
  EXPECT_EQ(r.status, 0);
  ExpectThreadsLeftAsFound(m);
  EXPECT_THAT(m.CallArgs("NtOpenThread"), ElementsAre("0x1f03ff,120,20"));
  EXPECT_EQ(m.CallArgs("GetThreadContext"), std::vector<std::string>{kWide ? "0x10000b" : "0x10007"});
  EXPECT_EQ(m.CallArgs(kStackWalkOp).front(), kWide ? "0x8664,0" : "0x14c,0");
  EXPECT_EQ(m.CallCount(kStackWalkOp), 9);

  // Long names are not cut.
  const std::string name(4000, 'n');
  sim::Machine longName = StackMachine();
  longName.FindProcess(120)->modules[0].AddSymbol(0x403000, 0x10, name);
  longName.FindProcess(120)->FindThread(10)->frames[0].pc = 0x403000;
  r = RunThreadsift(longName, {"-p", "120", "-t", "10"});
  EXPECT_THAT(r.out, HasSubstr(Hex(0x403000) + " =      app.exe!" + name + Params(0, 0, 0, 0) + "\n"));
}

TEST(ThreadWalk, ThreadIsHeldOnlyForItsRegistersAndItsStack) {
  sim::Machine m = StackMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  // Three threads: their registers and one read of each stack from its page
  // to the stack's base, which each thread's environment block gave before
  // the thread was held. The unwinding, with the symbol-file loads its
  // callbacks finish, comes after the resume.
  std::map<std::string, int> expected = {{"GetThreadContext", 3}, {"ReadProcessMemory", 3}};
  EXPECT_EQ(CallsWhileSuspended(m), expected);
  const std::string baseRead = "," + std::to_string(sizeof(void*));
  int copies = 0;
  for (const std::string& args : m.CallArgs("ReadProcessMemory")) {
    // The main image's header, read to tell the process's width, and the bases.
    if (::testing::Value(args, ::testing::StartsWith("0x4000")) || ::testing::Value(args, EndsWith(baseRead))) continue;
    EXPECT_THAT(args, EndsWith(",8192"));
    ++copies;
  }
  EXPECT_EQ(copies, 3);
  EXPECT_EQ(m.CallCount("SymbolFileLoad"), 3);
  EXPECT_THAT(r.out, HasSubstr("Thread 20 (0x14)\n" + kThread20Frames + "\n"));
  ExpectThreadsLeftAsFound(m);
}

TEST(ThreadWalk, StackThatCannotBeCopiedIsWalkedWhileTheThreadIsHeld) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Thread&, sim::Machine&);
    std::string frames;
  };
  const Case cases[] = {
      {"region query fails", [](sim::Thread&, sim::Machine& m) { m.Fail("VirtualQueryEx", ERROR_ACCESS_DENIED); },
       kThread20Frames},
      {"region ends below the pointer",
       [](sim::Thread& t, sim::Machine&) { t.stack.reportedEnd = t.stack.Pointer() & ~0xfffull; }, kThread20Frames},
      {"stack deeper than the bound",
       [](sim::Thread& t, sim::Machine&) {
         t.stack.committed = 0x180000;
         t.stack.depth = 0x100100;
       },
       kThread20Frames},
      {"copy cannot be read",
       [](sim::Thread& t, sim::Machine& m) { m.FailFor("ReadProcessMemory", t.stack.Pointer() & ~0xfffull, 299); },
       kThread20Frames},
      // No page of the stack can be read: the walk ends at once.
      {"stack unreadable", [](sim::Thread& t, sim::Machine&) { t.stack.unreadable = true; }, ""},
  };
  for (const Case& c : cases) {
    sim::Machine m = StackMachine();
    // Without the stack's base the region that holds the pointer bounds the copy.
    m.FailStatus("NtQueryInformationThread", STATUS_ACCESS_DENIED);
    c.arrange(*m.FindProcess(120)->FindThread(20), m);
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
    EXPECT_EQ(r.out, Thread20(c.frames)) << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(CallsWhileSuspended(m)[kStackWalkOp], m.CallCount(kStackWalkOp)) << c.name;
    ExpectThreadsLeftAsFound(m);
  }
}

TEST(ThreadWalk, StackBaseThatDoesNotFitIsNotTrusted) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Thread&, sim::Machine&);
  };
  const Case cases[] = {
      {"base below the pointer",
       [](sim::Thread& t, sim::Machine&) { t.stack.recordedBase = t.stack.Pointer() & ~0xfffull; }},
      {"base past the bound", [](sim::Thread& t, sim::Machine&) { t.stack.recordedBase = t.stack.top + 0x200000; }},
      {"environment block unreadable",
       [](sim::Thread& t, sim::Machine& m) {
         m.FailFor("ReadProcessMemory", t.stack.EnvironmentBlock() + sizeof(void*), 299);
       }},
      // The main image's header takes the first three reads, the base the fourth.
      {"stack unreadable up to the base", [](sim::Thread&, sim::Machine& m) { m.Fail("ReadProcessMemory", 299, 5); }},
  };
  for (const Case& c : cases) {
    sim::Machine m = StackMachine();
    c.arrange(*m.FindProcess(120)->FindThread(20), m);
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
    EXPECT_EQ(r.out, Thread20(kThread20Frames)) << c.name;
    // The region that holds the pointer bounds the copy instead; the walk
    // still comes after the resume.
    std::map<std::string, int> whileHeld = CallsWhileSuspended(m);
    EXPECT_EQ(whileHeld["VirtualQueryEx"], 1) << c.name;
    EXPECT_EQ(whileHeld[kStackWalkOp], 0) << c.name;
    ExpectThreadsLeftAsFound(m);
  }
}

// Where the stack pointer stands against the stack's limit (its lowest
// committed page, above the guard page): the guard page is never read, a
// copy is still taken, and the region is asked for only when the pointer
// lies below the limit read before the hold.
TEST(ThreadWalk, GuardPageOfTheStackIsNeverRead) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Thread&, sim::Machine&);
    std::string frames;
    int queriesWhileHeld;
    bool copied = true;  // false: the stack is walked while the thread is held
  };
  const Case cases[] = {
      {"pointer inside the guard page",
       [](sim::Thread& t, sim::Machine&) { t.stack.depth = t.stack.committed + 0x800; }, kThread20Frames, 1},
      {"pointer just below the limit", [](sim::Thread& t, sim::Machine&) { t.stack.depth = t.stack.committed + 8; },
       kThread20Frames, 1},
      {"pointer at the limit", [](sim::Thread& t, sim::Machine&) { t.stack.depth = t.stack.committed; },
       kThread20Frames, 0},
      // The walk's first read lands in the guard page: it is refused, and
      // the walk ends there.
      {"pointer below the guard page",
       [](sim::Thread& t, sim::Machine&) { t.stack.depth = t.stack.committed + 0x1800; }, "", 1},
      {"pointer inside the guard page, limit unknown",
       [](sim::Thread& t, sim::Machine& m) {
         t.stack.depth = t.stack.committed + 0x800;
         m.FailFor("VirtualQueryEx", t.stack.top - 1, ERROR_ACCESS_DENIED);
       },
       kThread20Frames, 1},
      {"pointer inside the guard page, base unknown",
       [](sim::Thread& t, sim::Machine& m) {
         t.stack.depth = t.stack.committed + 0x800;
         m.FailStatusFor("NtQueryInformationThread", 20, STATUS_ACCESS_DENIED);
       },
       kThread20Frames, 2},
      // The walk's first read starts in the guard page stepped over: the
      // floor refuses it, copied stack or not.
      {"pointer at the bottom of the guard page, base unknown",
       [](sim::Thread& t, sim::Machine& m) {
         t.stack.depth = t.stack.committed + 0x1000;
         m.FailStatusFor("NtQueryInformationThread", 20, STATUS_ACCESS_DENIED);
       },
       "", 2},
      {"pointer at the bottom of the guard page, base unknown, region above it unknown",
       [](sim::Thread& t, sim::Machine& m) {
         t.stack.depth = t.stack.committed + 0x1000;
         m.FailStatusFor("NtQueryInformationThread", 20, STATUS_ACCESS_DENIED);
         m.FailFor("VirtualQueryEx", t.stack.top - t.stack.committed, ERROR_ACCESS_DENIED);
       },
       "", 2, false},
      // Too deep to copy, the stack keeps its limit as the floor.
      {"pointer below the guard page of a stack deeper than the bound",
       [](sim::Thread& t, sim::Machine&) {
         t.stack.committed = 0x180000;
         t.stack.depth = t.stack.committed + 0x1800;
       },
       "", 2, false},
      {"stack exactly as deep as the bound",
       [](sim::Thread& t, sim::Machine&) {
         t.stack.committed = 0x180000;
         t.stack.depth = 0x100000;
       },
       kThread20Frames, 0},
  };
  for (const Case& c : cases) {
    sim::Machine m = StackMachine();
    c.arrange(*m.FindProcess(120)->FindThread(20), m);
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
    EXPECT_EQ(r.out, Thread20(c.frames)) << c.name;
    std::map<std::string, int> whileHeld = CallsWhileSuspended(m);
    EXPECT_EQ(whileHeld["VirtualQueryEx"], c.queriesWhileHeld) << c.name;
    EXPECT_EQ(whileHeld[kStackWalkOp], c.copied ? 0 : m.CallCount(kStackWalkOp)) << c.name;
    ExpectThreadsLeftAsFound(m);
  }
}

// Whatever way the stack is copied, or not, a later read of the guard page
// below its lowest committed address is refused (-w reads stack words too).
TEST(ThreadWalk, StackCopyFencesTheGuardPageBelowTheStack) {
  struct Case {
    const char* name;
    uint64_t committed;
    uint64_t depth;
    bool baseKnown;
  };
  const Case cases[] = {
      {"copied by the region, base unknown", 0x10000, 0x1fc0, false},
      {"deeper than the bound", 0x180000, 0x100100, true},
      {"deeper than the bound, base unknown", 0x180000, 0x100100, false},
  };
  for (const Case& c : cases) {
    sim::Machine m = StackMachine();
    sim::Stack& stack = m.FindProcess(120)->FindThread(20)->stack;
    stack.committed = c.committed;
    stack.depth = c.depth;
    const sim::Stack s = stack;
    sim::RunResult r = sim::RunInChild(m, [&c, s]() {
      HANDLE process = OpenProcess(0x1F0FFF, FALSE, 120);  // all access
      Address base = c.baseKnown ? (Address)s.top : 0;
      StackCopy copy;
      CopyThreadStack(process, (Address)s.Pointer(), base, StackLimitOf(process, base), &copy);
      Address lowest = (Address)(s.top - s.committed);
      bool fenced = ReadsBelowStackFloor(copy, (Address)s.GuardStart(), 8) && ReadsBelowStackFloor(copy, lowest - 8, 8);
      CloseHandle(process);
      return fenced ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_TRUE(m.books().misuses.empty()) << c.name;
  }
}

TEST(ThreadWalk, WithoutTheLineLookupFramesEndAfterTheirDisplacement) {
  sim::Machine m = StackMachine();
  m.RemoveEntry("imagehlp", kWide ? "SymGetLineFromAddr64" : "SymGetLineFromAddr");
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
  EXPECT_THAT(r.out, HasSubstr("Worker::Run(void)" + Params(1, 2, 3, 4) + "+36\n"));
  EXPECT_THAT(r.out, HasSubstr("Worker::Run(void)" + Params(0, 0, 0, 0) + "\n"));
  EXPECT_EQ(r.status, 0);

  sim::Machine noLibrary = StackMachine();
  noLibrary.RemoveModule("imagehlp.dll");
  r = RunThreadsift(noLibrary, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "GetModuleHandle ImageHlp error 126\n");
  EXPECT_EQ(r.status, 1);
}

TEST(ThreadWalk, UndecorationFailureCompletesItsFrameLine) {
  sim::Machine m = StackMachine();
  m.Fail("UnDecorateSymbolName", ERROR_INVALID_PARAMETER, 1);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
  std::string expected = kThread20Frames;
  expected.replace(0, kWaitFrame.size(), Hex(0x77f8abcd) + " = kernel32.dll!UnDecorateSymbolName error 87\n");
  EXPECT_EQ(r.out, Thread20(expected));
}

TEST(ThreadWalk, EveryFailureAfterTheSuspendStillResumesTheThread) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    std::string lines;
    int suspendCount;
  };
  const Case cases[] = {
      {"ntdll not found", [](sim::Machine& m) { m.Fail("GetModuleHandleA", ERROR_MOD_NOT_FOUND, 6); },
       "GetModuleHandle error 126\nOpenThread error 126\nWalkThread 20 error 126\n", 0},
      {"no NtOpenThread", [](sim::Machine& m) { m.RemoveEntry("ntdll", "NtOpenThread"); },
       "GetProcAddress error 127\nOpenThread error 127\nWalkThread 20 error 127\n", 0},
      // The native call sets no last error: the code is its status translated.
      {"thread gone", [](sim::Machine& m) { m.FailStatusFor("NtOpenThread", 20, STATUS_INVALID_CID); },
       "NtOpenThread error 87\nOpenThread error 87\nWalkThread 20 error 87\n", 0},
      {"thread denied", [](sim::Machine& m) { m.FailStatusFor("NtOpenThread", 20, STATUS_ACCESS_DENIED); },
       "NtOpenThread error 5\nOpenThread error 5\nWalkThread 20 error 5\n", 0},
      {"suspend", [](sim::Machine& m) { m.FailFor("SuspendThread", 20, ERROR_ACCESS_DENIED); },
       "SuspendThread error 5\nWalkThread 20 error 5\n", 0},
      {"registers", [](sim::Machine& m) { m.FailFor("GetThreadContext", 20, ERROR_ACCESS_DENIED); },
       "GetThreadContext error 5\nWalkThreadStack error 5\nWalkThread 20 error 5\n", 0},
      {"registers, then resume",
       [](sim::Machine& m) {
         m.FailFor("GetThreadContext", 20, ERROR_ACCESS_DENIED);
         m.FailFor("ResumeThread", 20, ERROR_INVALID_HANDLE);
       },
       "GetThreadContext error 5\nWalkThreadStack error 5\nResumeThread error 6\nWalkThread 20 error 6\n", 1},
      {"resume after a complete walk", [](sim::Machine& m) { m.FailFor("ResumeThread", 20, ERROR_INVALID_HANDLE); },
       kThread20Frames + "ResumeThread error 6\nWalkThread 20 error 6\n", 1},
  };
  for (const Case& c : cases) {
    sim::Machine m = StackMachine();
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
    EXPECT_EQ(r.out, Thread20(c.lines)) << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(m.SuspendCount(20), c.suspendCount) << c.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << c.name;
  }
}

TEST(ThreadWalk, ThreadIdTakenOverByAnotherProcessIsRefusedNotSuspended) {
  sim::Machine m = StackMachine();
  m.FindProcess(120)->FindThread(20)->takenBy = 300;
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
  EXPECT_EQ(r.out, Thread20("NtOpenThread error 87\nOpenThread error 87\nWalkThread 20 error 87\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallCount("SuspendThread"), 0);
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

TEST(ThreadWalk, FaultInsideTheWalkKeepsTheFramesSoFarAndResumes) {
  std::string frames = kWaitFrame + Hex(0x401024) + " =      app.exe!public: void __thiscall Worker::Run(void)" +
                       Params(1, 2, 3, 4) + "+36 C:\\src\\worker.cpp(42)\n";
  // The walk over the copy, and the walk made while the thread is held
  // (its stack cannot be copied without its base or its region).
  for (bool copied : {true, false}) {
    sim::Machine m = StackMachine();
    m.FindProcess(120)->FindThread(20)->faultAtFrame = 3;
    if (!copied) {
      m.FailStatusFor("NtQueryInformationThread", 20, STATUS_ACCESS_DENIED);
      m.Fail("VirtualQueryEx", ERROR_ACCESS_DENIED);
    }
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, AllThreads(frames)) << copied;
    EXPECT_EQ(r.status, 0) << copied;
    // Thread 20's four steps, the last of which faults.
    EXPECT_EQ(CallsWhileSuspended(m)[kStackWalkOp], copied ? 0 : 4) << copied;
    ExpectThreadsLeftAsFound(m);
  }
}

// Position of the first call of op whose arguments start with args.
size_t CallIndex(const sim::Machine& m, const std::string& op, const std::string& args) {
  const std::vector<sim::CallRecord>& calls = m.books().calls;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].op == op && calls[i].args.rfind(args, 0) == 0) return i;
  }
  return calls.size();
}

TEST(ThreadWalk, FaultInsideASymbolOrLineLookupEndsThatThreadsLinesAndTheWalkGoesOn) {
  const std::string symbolOp = kWide ? "SymGetSymFromAddr64" : "SymGetSymFromAddr";
  const std::string lineOp = kWide ? "SymGetLineFromAddr64" : "SymGetLineFromAddr";
  struct Case {
    std::string op;
    std::string frames;  // thread 20's lines, the last one cut where the fault came, and ended there
  };
  const Case cases[] = {
      {symbolOp, kWaitFrame + Hex(0x401024) + " =      app.exe!\n"},
      {lineOp, kWaitFrame + Hex(0x401024) + " =      app.exe!public: void __thiscall Worker::Run(void)" +
                   Params(1, 2, 3, 4) + "+36\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m = StackMachine();
    m.FaultFor(c.op, 0x401024);
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, AllThreads(c.frames)) << c.op;
    EXPECT_EQ(r.status, 0) << c.op;
    // The lookups come after the thread runs again; the next thread is walked.
    EXPECT_LT(CallIndex(m, "ResumeThread", "20"), CallIndex(m, c.op, "0x401024")) << c.op;
    EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("10", "20", "30")) << c.op;
    ExpectThreadsLeftAsFound(m);
  }
}

// A fault that ends the naming between two frames (a name kept after its
// frame's line, say) cuts nothing: the line before it is whole.
TEST(ThreadWalk, CutAfterAFinishedFrameAddsNothingAndACutFrameEndsItsLine) {
  auto said = [](bool inFrame) {
    sim::Machine m;
    return sim::RunInChild(m, [inFrame]() {
             ReportSink report(false, "");
             report.FrameStart(0x401000, "app.exe", 0x400000);
             report.FrameWithoutSymbol();
             if (inFrame) report.FrameStart(0x402000, "app.exe", 0x400000);
             report.FrameCutShort();
             return 0;
           })
        .out;
  };
  const std::string line = Hex(0x401000) + " =      app.exe!" + Hex(0x401000) + "()\n";
  EXPECT_EQ(said(false), line);
  EXPECT_EQ(said(true), line + Hex(0x402000) + " =      app.exe!\n");
}

TEST(ThreadWalk, ThreadThatCannotBeOpenedAmidTheWalkLeavesTheNextOneWalked) {
  sim::Machine m = StackMachine();
  m.FailStatusFor("NtOpenThread", 20, STATUS_INVALID_CID);
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, AllThreads("NtOpenThread error 87\nOpenThread error 87\nWalkThread 20 error 87\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("10", "30"));
  ExpectThreadsLeftAsFound(m);
}

TEST(ThreadWalk, ClosingTheConsoleEndsTheToolOnlyOnceTheThreadInHandRunsAgain) {
  // The second registers read are thread 20's, while it is held.
  for (DWORD event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    sim::Machine m = StackMachine();
    m.RaiseCtrlEventAtCall("GetThreadContext", 2, event);
    RunThreadsift(m, {"-p", "120"});
    EXPECT_TRUE(m.books().endedByCtrlEvent) << event;
    EXPECT_EQ(m.SuspendCount(20), 0) << event;
    EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("10", "20")) << event;
  }

  // A walk made while the thread is held that outlasts the wait: the
  // handler gives up well inside the platform's 5 seconds, and the platform
  // ends the tool with the thread held.
  sim::Machine deep = StackMachine();
  sim::Thread& t = *deep.FindProcess(120)->FindThread(20);
  t.blankFrames = 50000;
  t.stack.committed = 0x180000;  // too deep to copy
  t.stack.depth = 0x100100;
  deep.RaiseCtrlEventAtCall("GetThreadContext", 2, CTRL_CLOSE_EVENT);
  RunThreadsift(deep, {"-p", "120"});
  EXPECT_TRUE(deep.books().endedByCtrlEvent);
  EXPECT_EQ(deep.SuspendCount(20), 1);
  EXPECT_GE(deep.books().ctrlWaitMs, 1000u);
  EXPECT_LE(deep.books().ctrlWaitMs, 4000u);
}

// Once the console is closing no thread may be suspended: the thread in
// hand is listed without its stack, and the walk ends there.
TEST(ThreadWalk, NoThreadIsSuspendedOnceTheConsoleIsClosing) {
  sim::Machine m = StackMachine();
  sim::RunResult r = sim::RunInChild(m, []() {
    ConsoleCtrlHandler(CTRL_CLOSE_EVENT);
    ReportSink report(false, "");
    return WalkProcess(report, 120, WalkOptions{kAllThreads, 0, false, false, NULL, NULL}) ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, EndsWith("\n\nThread 10 (0xa)\n\n"));
  EXPECT_EQ(m.CallCount("SuspendThread"), 0);
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

TEST(ThreadWalk, ThreadHeldSuspendedByAnotherPartyKeepsItsCount) {
  sim::Machine m = StackMachine();
  m.FindProcess(120)->FindThread(20)->suspendCount = 2;
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
  EXPECT_EQ(r.out, Thread20(kThread20Frames));
  EXPECT_EQ(m.SuspendCount(20), 2);
}

TEST(ThreadWalk, WalkThatMakesNoProgressOrNeverEndsIsBounded) {
  sim::Machine repeating = StackMachine();
  repeating.FindProcess(120)->FindThread(20)->endless = true;
  sim::RunResult r = RunThreadsift(repeating, {"-p", "120", "-t", "20"});
  EXPECT_EQ(r.out, Thread20(kThread20Frames));
  EXPECT_EQ(repeating.SuspendCount(20), 0);

  sim::Machine deep = StackMachine();
  deep.FindProcess(120)->FindThread(20)->blankFrames = 50000;
  r = RunThreadsift(deep, {"-p", "120", "-t", "20"});
  EXPECT_EQ(r.out, Thread20(kThread20Frames));
  EXPECT_EQ(deep.CallCount(kStackWalkOp), 10000);
  EXPECT_EQ(deep.SuspendCount(20), 0);
}

TEST(ThreadWalk, ThreadsOfTheToolsOwnProcessAreListedButNeverSuspended) {
  sim::Machine m;
  sim::Process& self = m.AddProcess(4000, u"threadsift.exe");
  self.AddModule(0x400000, 0x1000, "threadsift.exe", "C:\\tools\\threadsift.exe").AddSymbol(0x400100, 0x10, "_main");
  self.AddThread(4004).AddFrame(0x400100);
  self.AddThread(4008).AddFrame(0x400100);
  m.AddProcess(120, u"app.exe").AddThread(10);
  sim::RunResult r = RunThreadsift(m, {"-p", "4000"});
  EXPECT_THAT(r.out, EndsWith("Thread 4004 (0xfa4)\n\nThread 4008 (0xfa8)\n\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallCount("NtOpenThread"), 0);
  EXPECT_EQ(m.CallCount("SuspendThread"), 0);
  EXPECT_TRUE(m.books().misuses.empty());
}

TEST(ThreadWalk, TextFromTheTargetIsPrintedLiterally) {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"%n%s.exe");
  p.AddModule(0x400000, 0x1000, "%n%s%x.dll", "C:\\%s%n\\%p.dll")
      .AddSymbol(0x400100, 0x10, "?%s@%n@@", "%s%n%x%%")
      .AddLine(0x400100, "C:\\%n\\%s.cpp", 7);
  p.AddThread(10).AddFrame(0x400104);
  AddSelf(m);
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "Process 120 (0x78)  %n%s.exe 1 thread(s)\n\n" + kListingHeader +
                       ModuleRow(0x400000, 0x1000, "-.--.----.----", "C:\\%s%n\\%p.dll") + "\nThread 10 (0xa)\n" +
                       Hex(0x400104) + " =   %n%s%x.dll!%s%n%x%%" + Params(0, 0, 0, 0) + "+4 C:\\%n\\%s.cpp(7)\n\n");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
