// The stacks of a walked process, and its threads after the walk.
#include <gtest/gtest.h>

#include "Runs.h"
#include "Stacks.h"

namespace e2e {
namespace {

TEST(ThreadStack, WorkersShowTheirCallChainAndRunAgainAfterTheWalk) {
  Fixture fixture(3);
  ASSERT_TRUE(fixture.Ready());
  std::map<unsigned, WorkerState> before = fixture.State();
  ToolRun run = RunThreadsift({"-p", std::to_string(fixture.Pid())});
  EXPECT_EQ(run.status, 0);
  Lines report = AfterRunHeader(SplitLines(run.out));
  for (unsigned tid : fixture.SnapshotThreads()) {
    EXPECT_TRUE(IsStack(LinesUnderThread(report, tid))) << "thread " << tid << "\n" << run.out;
  }
  for (unsigned tid : fixture.Workers()) {
    EXPECT_TRUE(ShowsWorkerChain(LinesUnderThread(report, tid), fixture, tid)) << "thread " << tid << "\n" << run.out;
  }
  // The fixture's main thread answers the question, so it runs too.
  EXPECT_TRUE(RanAgainUnsuspended(before, fixture.State()));
}

}  // namespace
}  // namespace e2e
