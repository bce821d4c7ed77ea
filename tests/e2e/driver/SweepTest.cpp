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

// A sweep reads each module's symbols once for all the processes that load
// it; what it shows of each process is what a report of that process alone
// shows (two fixtures: the second loads the very files of the first).
TEST(Sweep, ShowsEachProcessAsItsOwnReportDoes) {
  Fixture first(3);
  Fixture second(2);
  ASSERT_TRUE(first.Ready() && second.Ready());
  ToolRun sweep = RunThreadsift({"-p", "*"});
  ASSERT_EQ(sweep.status, 0) << sweep.out;
  Sweep split = SplitSweep(AfterRunHeader(SplitLines(sweep.out)));
  for (const Fixture* fixture : {&first, &second}) {
    ToolRun own = RunThreadsift({"-p", std::to_string(fixture->Pid())});
    ASSERT_EQ(own.status, 0) << own.out;
    Lines alone = AfterRunHeader(SplitLines(own.out));
    while (!alone.empty() && alone.back().empty()) alone.pop_back();
    int found = 0;
    for (Lines section : split.processes) {
      std::optional<ProcessHeader> header = ReadProcessHeader(section.empty() ? "" : section[0]);
      if (!header || header->pid != fixture->Pid()) continue;
      ++found;
      while (!section.empty() && section.back().empty()) section.pop_back();
      EXPECT_EQ(section, alone) << "sweep:\n" << sweep.out << "\nalone:\n" << own.out;
    }
    EXPECT_EQ(found, 1) << sweep.out;
  }
}

}  // namespace
}  // namespace e2e
