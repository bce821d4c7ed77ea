#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Scenarios.h"
#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;

// Processes 8, 120 and 300 with the threads 8x, 120x and 300x, then the tool.
sim::Machine ThreeProcesses() {
  sim::Machine m;
  m.AddProcess(8, u"System").AddThread(81);
  sim::Process& app = m.AddProcess(120, u"app.exe");
  for (DWORD tid : {1201u, 1202u, 1203u}) app.AddThread(tid);
  sim::Process& svc = m.AddProcess(300, u"svc.exe");
  svc.AddThread(3001);
  svc.AddThread(3002);
  AddSelf(m);
  return m;
}

namespace {

const std::string kReport8 = ProcessReport("Process 8 (0x8)  System 1 thread(s)", {81});
const std::string kReport120 = ProcessReport("Process 120 (0x78)  app.exe 3 thread(s)", {1201, 1202, 1203});
const std::string kReport300 = ProcessReport("Process 300 (0x12c)  svc.exe 2 thread(s)", {3001, 3002});

TEST(Sweep, SeparatesProcessesAndCountsEveryIdDelivered) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({0, 8, 120, 300});
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + kReport300 +
                       "4 process(es) found\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(m.CallArgs("OpenProcess"), ElementsAre("0x1f0fff,0,8", "0x1f0fff,0,120", "0x1f0fff,0,300"));
  EXPECT_EQ(m.OpenHandleCount(), 0);
  EXPECT_EQ(m.LiveAllocationCount(), 0);
}

TEST(Sweep, WalksEveryThreadOfEveryProcessWhateverThreadIsNamed) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300});
  sim::RunResult r = RunThreadsift(m, {"-p", "*", "-t", "1202"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + kReport300 +
                       "3 process(es) found\n");
  EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("81", "1201", "1202", "1203", "3001", "3002"));
}

TEST(Sweep, IdZeroLastLeavesTheLastSeparatorBeforeTheCount) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 0});
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + "3 process(es) found\n");
}

TEST(Sweep, EveryProcessOfTheSnapshotIsWalkedTheToolsOwnAndTheNewestToo) {
  sim::Machine m = ThreeProcesses();
  m.AddProcess(500, u"conhost.exe").AddThread(5001);  // started after the tool
  m.SetProcessIds({8, 4000, 120, 500});
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + ProcessReport(kSelfHeader, {4004}) + kSeparator +
                       kReport120 + kSeparator + ProcessReport("Process 500 (0x1f4)  conhost.exe 1 thread(s)", {5001}) +
                       "4 process(es) found\n");
  EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("81", "1201", "1202", "1203", "5001"));
}

TEST(Sweep, ProcessThatFailsShowsItsLinesInItsPlaceAndTheSweepGoesOn) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300, 4000});
  m.FailFor("OpenProcess", 120, ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + "OpenProcess error 5\n" + kSeparator + kReport300 +
                       kSeparator + ProcessReport(kSelfHeader, {4004}) + "4 process(es) found\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Sweep, FailsOnlyWhenTheProcessIdsCannotBeHad) {
  sim::Machine m = ThreeProcesses();
  m.Fail("EnumProcesses", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "EnumProcesses error 5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.CallCount("OpenProcess"), 0);
}

TEST(Sweep, IdBufferGrowsUntilEveryProcessFits) {
  sim::Machine m = ThreeProcesses();
  std::vector<DWORD> ids;
  for (DWORD pid = 1; pid <= 2500; ++pid) ids.push_back(pid);
  m.SetProcessIds(ids);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_THAT(r.out, EndsWith(kSeparator + "OpenProcess error 87\n2500 process(es) found\n"));
  EXPECT_THAT(m.CallArgs("EnumProcesses"), ElementsAre("4096", "8192", "16384"));
  EXPECT_EQ(m.CallCount("OpenProcess"), 2500);
  EXPECT_EQ(m.OpenHandleCount(), 0);

  // Exactly 1024 ids fill the first buffer, so one more call makes sure.
  sim::Machine full = ThreeProcesses();
  full.SetProcessIds(std::vector<DWORD>(ids.begin(), ids.begin() + 1024));
  r = RunThreadsift(full, {"-p", "*"});
  EXPECT_THAT(r.out, EndsWith("1024 process(es) found\n"));
  EXPECT_THAT(full.CallArgs("EnumProcesses"), ElementsAre("4096", "8192"));
}

TEST(Sweep, AfterAnInterruptNoFurtherProcessIsWalked) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300, 4000});
  m.RaiseCtrlEventAfterOutput("Thread 1201 (0x4b1)\n");
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator +
                       ProcessReport("Process 120 (0x78)  app.exe 3 thread(s)", {1201}) +
                       "4 process(es) found\n\n* Interrupt *\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(m.CallArgs("OpenProcess"), ElementsAre("0x1f0fff,0,8", "0x1f0fff,0,120"));
  EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("81", "1201"));
  EXPECT_EQ(m.CallCount("SetConsoleCtrlHandler"), 4);
  EXPECT_EQ(m.books().ctrlHandlers, 0);
}

// A sweep lists its processes from one snapshot until that is a second old
// or lacks the process in hand: the report stays the same, the snapshots
// are fewer.
TEST(Sweep, OneSnapshotServesTheProcessesUntilItIsOldOrLacksOne) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    int snapshots;
  };
  const Case cases[] = {
      {"machine that does not change", [](sim::Machine&) {}, 1},
      {"a clock 0.6 s on at each reading", [](sim::Machine& m) { m.performanceCounterStep = 600000; }, 2},
      {"no clock to tell its age", [](sim::Machine& m) { m.Fail("QueryPerformanceCounter", 1); }, 3},
      {"a process that started since", [](sim::Machine& m) { m.FindProcess(300)->firstListedInSnapshot = 1; }, 2},
  };
  for (const Case& c : cases) {
    sim::Machine m = ThreeProcesses();
    m.SetProcessIds({8, 120, 300});
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "*"});
    EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + kReport300 +
                         "3 process(es) found\n")
        << c.name;
    EXPECT_EQ(m.CallCount("NtQuerySystemInformation"), c.snapshots) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
  }
}

}  // namespace
