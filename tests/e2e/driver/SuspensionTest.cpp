// Suspend counts around a walk: a thread that the fixture itself holds
// suspended, and the tool killed hard while it holds a thread and while it
// unwinds a stack it copied.
#include <gtest/gtest.h>

#include <regex>

#include "Runs.h"
#include "Settings.h"
#include "Stacks.h"

namespace e2e {
namespace {

const int kWorkers = 20;
// The walk of this worker stops for good at this step of its stack walk
// (the test build of the tool), and the tool is killed there.
const size_t kWorkerInHand = 12;
const char kStep[] = "3";
// The register read of the tenth thread walked, made while the tool holds it,
// stops for good (the test build of the tool), and the tool is killed there.
const char kContextReadInHand[] = "10";
// Far less than the report of that many workers.
const int kSmallPipeBytes = 4096;

TEST(Suspension, ThreadHeldSuspendedByItsOwnProcessIsWalkedAndStaysSuspended) {
  Fixture fixture(2, HoldOneSuspended{});
  ASSERT_TRUE(fixture.Ready());
  const HeldThread held = fixture.Held();
  ASSERT_EQ(held.suspendCount, 2);
  std::map<unsigned, WorkerState> before = fixture.State();

  ToolRun run = RunThreadsift({"-p", std::to_string(fixture.Pid())});
  EXPECT_EQ(run.status, 0);
  Lines report = AfterRunHeader(SplitLines(run.out));
  EXPECT_TRUE(IsFixtureReport(report, fixture)) << run.out;
  EXPECT_TRUE(ShowsWorkerChain(LinesUnderThread(report, held.tid), fixture, held.tid)) << run.out;

  EXPECT_EQ(fixture.HeldSuspendCount(), held.suspendCount);
  EXPECT_TRUE(RanAgainUnsuspended(before, fixture.State()));
}

// Nobody reads the report: the tool fills its output pipe and waits to
// write, which must not hold a thread of the target suspended.
TEST(Suspension, ToolWaitingToWriteHoldsNoThreadSuspended) {
  Fixture fixture(kWorkers);
  ASSERT_TRUE(fixture.Ready());
  WineProcess tool(TheSettings().threadsift, {"-p", std::to_string(fixture.Pid())}, Pipes{false, kSmallPipeBytes});
  WaitUntilOutputStalls(tool);
  ASSERT_FALSE(tool.WaitForExit(milliseconds(0))) << "the report fitted into the pipe";
  for (const auto& [tid, state] : fixture.State()) EXPECT_EQ(state.suspendCount, 0) << "worker " << tid;
  EXPECT_TRUE(tool.ReadToEnd(Patience(milliseconds(60000))));
  EXPECT_EQ(tool.WaitForExit(Patience(milliseconds(10000))), std::optional<int>(0));
}

// The id of the last thread header line of a report so far, or 0.
unsigned LastThreadHeader(const std::string& out) {
  static const std::regex header("Thread ([0-9]+) \\(0x[0-9a-f]+\\)\r?\n");
  unsigned tid = 0;
  for (std::sregex_iterator it(out.begin(), out.end(), header), end; it != end; ++it) {
    tid = (unsigned)std::stoul((*it)[1].str());
  }
  return tid;
}

TEST(Suspension, ToolKilledHardLeavesOnlyTheThreadInHandSuspended) {
  Fixture fixture(kWorkers);
  ASSERT_TRUE(fixture.Ready());
  unsigned inHand = 0;
  {
    WineProcess tool(TheSettings().threadsiftFaulting, {"-p", std::to_string(fixture.Pid())}, Pipes{},
                     {{"THREADSIFT_STALL_AT_CONTEXT", kContextReadInHand}});
    ASSERT_TRUE(ReadUntil(tool, "FaultingGetThreadContext: stalled at call " + std::string(kContextReadInHand) + "\n",
                          Patience(milliseconds(60000))))
        << tool.Output();
    tool.Kill();
    inHand = LastThreadHeader(tool.Output());
  }

  // Every thread walked before it was resumed; the one in hand was not.
  std::map<unsigned, WorkerState> stuck = fixture.State();
  ASSERT_EQ(stuck.size(), (size_t)kWorkers);
  ASSERT_EQ(stuck.count(inHand), 1u) << "thread in hand " << inHand << " is no worker";
  for (const auto& [tid, state] : stuck) {
    EXPECT_EQ(state.suspendCount, tid == inHand ? 1 : 0) << "worker " << tid;
  }
  // The fixture resumes it itself; then every worker runs again.
  EXPECT_EQ(fixture.Resume(inHand), 1);
  std::map<unsigned, WorkerState> after = fixture.State();
  ASSERT_EQ(after.size(), stuck.size());
  for (const auto& [tid, state] : after) {
    EXPECT_EQ(state.suspendCount, 0) << "worker " << tid;
    EXPECT_GT(state.beats, stuck[tid].beats) << "worker " << tid;
  }
}

// The stack walk runs over a copy of the stack once the thread runs again:
// a tool killed in the middle of it leaves every thread running.
TEST(Suspension, ToolKilledWhileItUnwindsLeavesNoThreadSuspended) {
  Fixture fixture(kWorkers);
  ASSERT_TRUE(fixture.Ready());
  const unsigned unwound = fixture.Workers()[kWorkerInHand];
  {
    WineProcess tool(TheSettings().threadsiftFaulting, {"-p", std::to_string(fixture.Pid())}, Pipes{},
                     {{"THREADSIFT_STALL_AT", std::to_string(unwound) + ":" + kStep}});
    ASSERT_TRUE(ReadUntil(tool, FaultingWalkName() + ": stalled at step " + std::string(kStep) + "\n",
                          Patience(milliseconds(60000))))
        << tool.Output();
    tool.Kill();
  }
  std::map<unsigned, WorkerState> state = fixture.State();
  ASSERT_EQ(state.size(), (size_t)kWorkers);
  for (const auto& [tid, worker] : state) EXPECT_EQ(worker.suspendCount, 0) << "worker " << tid;
}

}  // namespace
}  // namespace e2e
