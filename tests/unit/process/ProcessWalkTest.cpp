#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "ToolRuns.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "simwin_api.h"

using ::testing::ElementsAre;

namespace {

// The platform calls of a walk, from its start, without the heap's.
std::vector<std::string> WalkCalls(const sim::Machine& m) {
  std::vector<std::string> calls;
  for (const std::string& op : m.CallSequence()) {
    if (op == "OpenProcess" || (!calls.empty() && op == "CloseHandle") || op.rfind("Sym", 0) == 0 ||
        op == "NtQuerySystemInformation" || op == "SetConsoleCtrlHandler") {
      calls.push_back(op);
    }
  }
  return calls;
}

void ExpectNothingLeft(const sim::Machine& m, const char* what) {
  EXPECT_EQ(m.OpenHandleCount(), 0) << what;
  EXPECT_EQ(m.LiveAllocationCount(), 0) << what;
  EXPECT_EQ(m.books().symbolSessions, 0) << what;
  EXPECT_EQ(m.books().ctrlHandlers, 0) << what;
  EXPECT_TRUE(m.books().misuses.empty()) << what;
}

TEST(ProcessWalk, PrintsEveryThreadOfTheProcessInSnapshotOrder) {
  sim::Machine m = AppMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "20"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader120 + "\n\n" + kListingHeader + "\n" +
                       "Thread 10 (0xa)\n\nThread 20 (0x14)\n\nThread 30 (0x1e)\n\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(WalkCalls(m), ElementsAre("OpenProcess", "SymInitialize", "SymSetOptions", "NtQuerySystemInformation",
                                        "SetConsoleCtrlHandler", "CloseHandle", "SymCleanup", "SetConsoleCtrlHandler",
                                        "CloseHandle"));
  EXPECT_THAT(m.CallArgs("OpenProcess"), ElementsAre("0x1f0fff,0,120"));
  EXPECT_THAT(m.CallArgs("SymInitialize"), ElementsAre("null,0"));
  EXPECT_THAT(m.CallArgs("SymSetOptions"), ElementsAre(kWide ? "0x2034" : "0x34"));
  EXPECT_THAT(m.CallArgs("SetConsoleCtrlHandler"), ElementsAre("1", "0"));
  ExpectNothingLeft(m, "complete walk");
}

TEST(ProcessWalk, ThreadThatIsNotInTheProcessStillListsEveryThread) {
  sim::Machine m = AppMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-t", "99"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kHeader120, {10, 20, 30}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallCount("NtOpenThread"), 0);
  EXPECT_EQ(m.CallCount("SuspendThread"), 0);
}

TEST(ProcessWalk, ProcessWithoutThreadsStillRegistersAndRemovesTheHandler) {
  sim::Machine m;
  m.AddProcess(120, u"app.exe");
  AddSelf(m);
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport("Process 120 (0x78)  app.exe 0 thread(s)", {}));
  EXPECT_THAT(m.CallArgs("SetConsoleCtrlHandler"), ElementsAre("1", "0"));
  ExpectNothingLeft(m, "no threads");
}

TEST(ProcessWalk, EveryFailureEndsWithItsLineAndLeavesNothingBehind) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    std::string lines;
  };
  const Case cases[] = {
      {"OpenProcess", [](sim::Machine& m) { m.Fail("OpenProcess", ERROR_ACCESS_DENIED); }, "OpenProcess error 5\n"},
      {"SymInitialize", [](sim::Machine& m) { m.Fail("SymInitialize", ERROR_NOT_ENOUGH_MEMORY); },
       "SymInitialize error 8\n"},
      {"SymSetOptions", [](sim::Machine& m) { m.Fail("SymSetOptions", ERROR_INVALID_PARAMETER); },
       "SymSetOptions error 87\n"},
      {"SymSetOptions, then SymCleanup",
       [](sim::Machine& m) {
         m.Fail("SymSetOptions", ERROR_INVALID_PARAMETER);
         m.Fail("SymCleanup", ERROR_ACCESS_DENIED);
       },
       "SymSetOptions error 87\n"},
      {"no thread list",
       [](sim::Machine& m) { m.FailAllocationAfter("NtQuerySystemInformation", 3 * sizeof(ThreadRecord)); },
       kHeader120 + "\nFATAL: failed to allocate " + std::to_string(3 * sizeof(ThreadRecord)) +
           " byte(s)\n[4000] EnumProcessThreads pid 120 error 8\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m = AppMachine();
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, kBanner + kRunHeader + c.lines) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(m.CallCount("SetConsoleCtrlHandler"), 0) << c.name;
    ExpectNothingLeft(m, c.name);
  }
}

TEST(ProcessWalk, FailedSymbolCleanupIsReportedAndTheHandlerStillRemoved) {
  sim::Machine m = AppMachine();
  m.Fail("SymCleanup", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kHeader120, {10, 20, 30}) + "SymCleanup error 5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(m.CallArgs("SetConsoleCtrlHandler"), ElementsAre("1", "0"));
  ExpectNothingLeft(m, "SymCleanup");
}

TEST(ProcessWalk, OwnProcessAsTheSnapshotsLastRecordListsItsThreadsWithoutWalkingThem) {
  sim::Machine m = AppMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "4000"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kSelfHeader, {4004}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallCount("NtOpenThread"), 0);
  EXPECT_EQ(m.CallCount("SymCleanup"), 1);
  ExpectNothingLeft(m, "own process");
}

TEST(ProcessWalk, OwnProcessFoundInTheSnapshotListsItsThreads) {
  sim::Machine m;
  sim::Process& self = m.AddProcess(4000, u"threadsift.exe");
  self.AddThread(4004);
  self.AddThread(4008);
  m.AddProcess(120, u"app.exe").AddThread(10);
  sim::RunResult r = RunThreadsift(m, {"-p", "4000"});
  EXPECT_EQ(r.out,
            kBanner + kRunHeader + ProcessReport("Process 4000 (0xfa0)  threadsift.exe 2 thread(s)", {4004, 4008}));
  EXPECT_EQ(r.status, 0);
}

// Without its thread list the tool's own process is passed over without a
// word; any other process gets the error line and the status 1.
TEST(ProcessWalk, OwnProcessMissingFromTheSnapshotIsPassedOverQuietly) {
  sim::Machine m = AppMachine();
  m.FindProcess(4000)->inSnapshot = false;
  sim::RunResult r = RunThreadsift(m, {"-p", "4000"});
  EXPECT_EQ(r.out, kBanner + kRunHeader);
  EXPECT_EQ(r.status, 0);
  ExpectNothingLeft(m, "own process");

  sim::Machine other = AppMachine();
  other.FindProcess(120)->inSnapshot = false;
  r = RunThreadsift(other, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "[4000] EnumProcessThreads pid 120 error 87\n");
  EXPECT_EQ(r.status, 1);
}

TEST(ProcessWalk, BreakKeyDuringAThreadEndsTheLoopAfterThatThread) {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"app.exe");
  for (DWORD tid : {10u, 20u, 30u, 40u, 50u}) p.AddThread(tid);
  AddSelf(m);
  m.RaiseCtrlEventAtCall("SuspendThread", 2);  // while thread 20 is walked
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport("Process 120 (0x78)  app.exe 5 thread(s)", {10, 20}) +
                       "\n* Interrupt *\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(m.books().endedByCtrlEvent);
  EXPECT_EQ(m.CallCount("SymCleanup"), 1);
  EXPECT_EQ(m.CallCount("ResumeThread"), 2);
  ExpectNothingLeft(m, "interrupted");
}

}  // namespace
