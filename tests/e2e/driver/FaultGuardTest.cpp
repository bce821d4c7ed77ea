// A real access violation inside the guarded stack walk, raised by the
// faulting build of the tool (tests/e2e/faulting) at a chosen step of the
// walk of one thread.
#include <gtest/gtest.h>

#include <algorithm>

#include "Runs.h"
#include "Settings.h"
#include "Stacks.h"

namespace e2e {
namespace {

TEST(FaultGuard, AccessViolationInTheWalkKeepsTheFramesSoFarAndResumesTheThread) {
  Fixture fixture(2);
  ASSERT_TRUE(fixture.Ready());
  const std::string pid = std::to_string(fixture.Pid());
  Lines complete = AfterRunHeader(SplitLines(RunThreadsift({"-p", pid}).out));
  const unsigned victim = fixture.Workers()[0];
  Lines victimStack = LinesUnderThread(complete, victim);
  ASSERT_TRUE(ShowsWorkerChain(victimStack, fixture, victim));
  // The fault comes at the step after the frame of FixtureLevelTwo, in the
  // middle of the fixture's own frames.
  auto levelTwo = std::find_if(victimStack.begin(), victimStack.end(), [](const std::string& line) {
    return line.find("!FixtureLevelTwo(") != std::string::npos;
  });
  const size_t printedFrames = levelTwo - victimStack.begin() + 1;
  const std::string faultStep = std::to_string(printedFrames + 1);

  std::map<unsigned, WorkerState> before = fixture.State();
  ToolRun run = RunTool(TheSettings().threadsiftFaulting, {"-p", pid},
                        {{"THREADSIFT_FAULT_AT", std::to_string(victim) + ":" + faultStep}});
  EXPECT_EQ(run.status, 0);
  Lines report = AfterRunHeader(SplitLines(run.out));
  EXPECT_TRUE(IsFixtureReport(report, fixture)) << run.out;

  // The faulting walk announces its fault as it happens, while the thread is
  // suspended; the frames found before it follow once the thread is resumed.
  Lines expected{FaultingWalkName() + ": access violation at step " + faultStep};
  expected.insert(expected.end(), victimStack.begin(), victimStack.begin() + printedFrames);
  EXPECT_EQ(LinesUnderThread(report, victim), expected) << run.out;
  // Every other thread, the one after the victim included, is walked whole.
  for (unsigned tid : fixture.SnapshotThreads()) {
    if (tid == victim) continue;
    EXPECT_EQ(LinesUnderThread(report, tid), LinesUnderThread(complete, tid)) << "thread " << tid;
  }
  EXPECT_TRUE(RanAgainUnsuspended(before, fixture.State()));
}

}  // namespace
}  // namespace e2e
