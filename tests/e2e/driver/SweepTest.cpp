// The sweep over every process (-p *).
#include <gtest/gtest.h>

#include <set>

#include "Runs.h"
#include "Stacks.h"

namespace e2e {
namespace {

TEST(Sweep, WalksEveryThreadOfEveryProcessBetweenSeparatorsAndCountsThem) {
  Fixture fixture(3);
  ASSERT_TRUE(fixture.Ready());
  TimedRun timed = RunThreadsiftTimed({"-p", "*"});
  EXPECT_EQ(timed.run.status, 0);
  ASSERT_TRUE(HasRunHeader(timed.lines, Banner(), timed.before, timed.after)) << timed.run.out;
  Sweep sweep = SplitSweep(AfterRunHeader(timed.lines));
  ASSERT_TRUE(sweep.count) << timed.run.out;
  // Wine has no process 0, so every id counted has its place between separators.
  EXPECT_EQ(*sweep.count, (int)sweep.processes.size());
  EXPECT_TRUE(sweep.trailer.empty());
  std::set<unsigned> pids;
  int fixtureSections = 0, ownSections = 0;
  for (const Lines& section : sweep.processes) {
    std::optional<ProcessHeader> header = ReadProcessHeader(section.empty() ? "" : section[0]);
    ASSERT_TRUE(header) << "a process section without a header:\n" << timed.run.out;
    SCOPED_TRACE(section[0]);
    EXPECT_TRUE(pids.insert(header->pid).second) << "walked twice";
    std::vector<unsigned> threads;
    EXPECT_TRUE(IsProcessReport(section, header->pid, header->image, header->threads, &threads));
    EXPECT_EQ(threads.size(), header->threads);
    // The tool's own process, the snapshot's last record, is listed with
    // its threads, none of which is walked.
    const bool own = header->image == "threadsift.exe";
    ownSections += own ? 1 : 0;
    for (unsigned tid : threads) {
      Lines under = LinesUnderThread(section, tid);
      EXPECT_TRUE(own ? under.empty() : IsStack(under)) << "thread " << tid;
    }
    if (header->pid == fixture.Pid()) {
      ++fixtureSections;
      EXPECT_EQ(header->image, FixtureImage());
      EXPECT_EQ(threads, fixture.SnapshotThreads());
      for (unsigned tid : fixture.Workers()) {
        EXPECT_TRUE(ShowsWorkerChain(LinesUnderThread(section, tid), fixture, tid)) << "thread " << tid;
      }
    }
  }
  EXPECT_EQ(fixtureSections, 1) << timed.run.out;
  EXPECT_EQ(ownSections, 1) << timed.run.out;
}

}  // namespace
}  // namespace e2e
