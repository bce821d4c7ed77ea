#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "Scenarios.h"
#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;

// Process 120: thread 10 spins (half a second of processor time over a
// half-second interval), thread 20 sleeps, thread 30 ends between the two
// snapshots. Times are in 100 ns units, one pair (kernel, user) a snapshot.
sim::Machine BusyMachine() {
  sim::Machine m = AppMachine();
  sim::Process& p = *m.FindProcess(120);
  p.FindThread(10)->times = {{2000000, 10000000}, {4500000, 12500000}};
  p.FindThread(20)->times = {{1000, 2500000}, {1000, 2500000}};
  p.FindThread(30)->times = {{12345678, 0}};
  p.FindThread(30)->listedInSnapshots = 1;
  return m;
}

namespace {

const std::string kBusyThreads =
    "Thread 10 (0xa)  cpu 1.700 s  busy 100%\n\n"
    "Thread 20 (0x14)  cpu 0.250 s  busy 0%\n\n"
    "Thread 30 (0x1e)  cpu 1.234 s  ended\n\n";

TEST(ThreadCpu, EachThreadLineShowsItsTimeAndHowBusyItWasOverTheInterval) {
  sim::Machine m = BusyMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-c", "500"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader120 + "\n\n" + kListingHeader + "\n" + kBusyThreads);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallArgs("Sleep"), std::vector<std::string>{"500"});
  // The interval passes before any thread is suspended.
  std::vector<std::string> calls = m.CallSequence();
  auto sleep = std::find(calls.begin(), calls.end(), "Sleep");
  EXPECT_EQ(std::find(calls.begin(), sleep, "SuspendThread"), sleep);
  EXPECT_EQ(m.CallCount("NtQuerySystemInformation"), 2);

  // With -t every line still shows its figures; with -p * every process
  // is sampled over its own interval.
  sim::Machine one = BusyMachine();
  r = RunThreadsift(one, {"-p", "120", "-t", "20", "-c", "500"});
  EXPECT_THAT(r.out, HasSubstr(kBusyThreads));
  EXPECT_EQ(one.CallCount("SuspendThread"), 1);
  sim::Machine all = BusyMachine();
  r = RunThreadsift(all, {"-p", "*", "-c", "500"});
  EXPECT_THAT(r.out, HasSubstr(kBusyThreads));
  size_t processes = 0;
  for (size_t at = 0; (at = r.out.find("\nProcess ", at)) != std::string::npos; ++at) ++processes;
  EXPECT_GE(processes, 1u);
  EXPECT_EQ(all.CallArgs("Sleep"), std::vector<std::string>(processes, "500"));
}

// The share is of one processor over the time from snapshot to snapshot,
// rounded to a whole per cent and never above 100; thread 10 is the one
// measured, unless the row says otherwise.
TEST(ThreadCpu, ShareRunsFromSnapshotToSnapshotRoundedAndAtMostOneProcessor) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&, sim::Process&);
    std::string line;
  };
  const Case cases[] = {
      {"header line held up by the console",
       [](sim::Machine& m, sim::Process&) { m.DelayAfterOutput("thread(s)", 500000); },
       "Thread 10 (0xa)  cpu 1.700 s  busy 50%"},
      {"clock that moves at every reading",
       [](sim::Machine& m, sim::Process& p) {
         m.performanceCounterStep = 5;
         p.FindThread(10)->times = {{0, 0}, {0, 2500000}};
       },
       "Thread 10 (0xa)  cpu 0.250 s  busy 50%"},
      {"more time than the interval",
       [](sim::Machine&, sim::Process& p) {
         p.FindThread(10)->times = {{0, 0}, {0, 6000000}};
       },
       "Thread 10 (0xa)  cpu 0.600 s  busy 100%"},
      {"six tenths of a per cent",
       [](sim::Machine&, sim::Process& p) {
         p.FindThread(10)->times = {{0, 0}, {0, 30000}};
       },
       "Thread 10 (0xa)  cpu 0.003 s  busy 1%"},
      {"time that goes backwards",
       [](sim::Machine&, sim::Process& p) {
         p.FindThread(10)->times = {{0, 6000000}, {0, 5000000}};
       },
       "Thread 10 (0xa)  cpu 0.500 s  busy 0%"},
      {"id given to a thread created in the interval",
       [](sim::Machine&, sim::Process& p) {
         sim::Thread& t = *p.FindThread(30);
         t.listedInSnapshots = -1;
         t.times = {{12345678, 0}, {0, 10}};
         t.created = {1, 2};
       },
       "Thread 30 (0x1e)  cpu 1.234 s  ended"},
  };
  for (const Case& c : cases) {
    sim::Machine m = BusyMachine();
    c.arrange(m, *m.FindProcess(120));
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-c", "500"});
    EXPECT_THAT(r.out, HasSubstr("\n" + c.line + "\n")) << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
  }
}

// A break key in the middle of a long interval ends the report of the
// process at once (in a sweep, the sweep too), with no thread suspended.
TEST(ThreadCpu, BreakKeyDuringTheIntervalEndsTheReportOfThatProcess) {
  sim::Machine m = BusyMachine();
  m.RaiseCtrlEventAtCall("Sleep", 1);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-c", "2000"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader120 + "\n\n* Interrupt *\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(m.books().endedByCtrlEvent);
  EXPECT_EQ(m.CallArgs("Sleep"), std::vector<std::string>{"500"});
  EXPECT_EQ(m.CallCount("SuspendThread"), 0);
  EXPECT_EQ(m.books().ctrlHandlers, 0);
  EXPECT_EQ(m.OpenHandleCount(), 0);
  EXPECT_EQ(m.LiveAllocationCount(), 0);

  sim::Machine all = BusyMachine();
  all.RaiseCtrlEventAtCall("Sleep", 1);
  r = RunThreadsift(all, {"-p", "*", "-c", "2000"});
  EXPECT_THAT(r.out, EndsWith(kHeader120 + "\n2 process(es) found\n\n* Interrupt *\n"));
  EXPECT_EQ(all.CallCount("Sleep"), 1);
}

TEST(ThreadCpu, WithoutTheOptionNothingChangesAndNoSecondSnapshotIsTaken) {
  sim::Machine m = BusyMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kHeader120, {10, 20, 30}));
  EXPECT_EQ(m.CallCount("NtQuerySystemInformation"), 1);
  EXPECT_EQ(m.CallCount("Sleep"), 0);
}

TEST(ThreadCpu, FailedSecondSnapshotOrClockLeavesTheWalkWithoutOrWithNominalFigures) {
  sim::Machine m = BusyMachine();
  m.FailStatus("NtQuerySystemInformation", STATUS_ACCESS_DENIED, 2);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-c", "500"});
  EXPECT_THAT(r.out, HasSubstr(kHeader120 + "\nNtQuerySystemInformation error c0000022"));
  EXPECT_THAT(r.out, HasSubstr("\nGetRawNtSystemInfo error "));
  EXPECT_THAT(r.out, HasSubstr("\n\nThread 10 (0xa)\n\nThread 20 (0x14)\n\nThread 30 (0x1e)\n\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.LiveAllocationCount(), 0);

  // Without a performance counter the interval asked for is the measure.
  sim::Machine noClock = BusyMachine();
  noClock.Fail("QueryPerformanceCounter", 1);
  r = RunThreadsift(noClock, {"-p", "120", "-c", "500"});
  EXPECT_THAT(r.out, HasSubstr(kBusyThreads));
}

}  // namespace
