// The report of one process (-p PID), with and without a selected thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>

#include "Runs.h"

namespace e2e {
namespace {

// Wine gives process ids from a small table in steps of 4; this one is far
// beyond any process these tests start.
const char kPidNobodyHas[] = "4000000";

void ExpectFixtureStarted(const Fixture& fixture) {
  ASSERT_TRUE(fixture.Ready());
  for (unsigned tid : fixture.StartedThreads()) {
    const auto& snapshot = fixture.SnapshotThreads();
    ASSERT_NE(std::find(snapshot.begin(), snapshot.end(), tid), snapshot.end())
        << "the snapshot misses the fixture's thread " << tid;
  }
}

// Runs the tool on the fixture and checks that the whole output is the run
// header and the fixture's complete report; returns that report.
Lines ExpectCompleteReport(const Fixture& fixture, const std::vector<std::string>& args) {
  TimedRun timed = RunThreadsiftTimed(args);
  EXPECT_EQ(timed.run.status, 0);
  EXPECT_TRUE(HasRunHeader(timed.lines, Banner(), timed.before, timed.after)) << timed.run.out;
  Lines report = AfterRunHeader(timed.lines);
  EXPECT_TRUE(IsFixtureReport(report, fixture)) << timed.run.out;
  return report;
}

TEST(ProcessWalk, ReportsEveryThreadInSnapshotOrder) {
  Fixture fixture(4);
  ASSERT_NO_FATAL_FAILURE(ExpectFixtureStarted(fixture));
  ExpectCompleteReport(fixture, {"-p", std::to_string(fixture.Pid())});
}

TEST(ProcessWalk, SelectingOneThreadWalksItAloneAndStillListsEveryThread) {
  Fixture fixture(3);
  ASSERT_NO_FATAL_FAILURE(ExpectFixtureStarted(fixture));
  std::string pid = std::to_string(fixture.Pid());
  Lines everyThread = ExpectCompleteReport(fixture, {"-p", pid});
  for (unsigned selected : {fixture.StartedThreads()[2], fixture.StartedThreads()[0]}) {
    SCOPED_TRACE("-t " + std::to_string(selected));
    Lines report = ExpectCompleteReport(fixture, {"-p", pid, "-t", std::to_string(selected)});
    Lines stack = LinesUnderThread(report, selected);
    EXPECT_FALSE(stack.empty());
    EXPECT_EQ(stack, LinesUnderThread(everyThread, selected)) << "not the stack a walk of every thread shows";
    for (unsigned tid : fixture.SnapshotThreads()) {
      if (tid == selected) continue;
      EXPECT_EQ(LinesUnderThread(report, tid), Lines()) << "thread " << tid << " was walked";
    }
  }
}

TEST(ProcessWalk, ThreadThatIsNotInTheProcessSelectsNone) {
  Fixture fixture(2);
  ASSERT_NO_FATAL_FAILURE(ExpectFixtureStarted(fixture));
  const auto& threads = fixture.SnapshotThreads();
  unsigned stranger = 4;
  while (std::find(threads.begin(), threads.end(), stranger) != threads.end()) stranger += 4;
  Lines report = ExpectCompleteReport(fixture, {"-t", std::to_string(stranger), "-p", std::to_string(fixture.Pid())});
  for (unsigned tid : threads) EXPECT_EQ(LinesUnderThread(report, tid), Lines()) << "thread " << tid << " was walked";
}

TEST(ProcessWalk, ProcessThatDoesNotExistCannotBeOpened) {
  TimedRun timed = RunThreadsiftTimed({"-p", kPidNobodyHas});
  EXPECT_EQ(timed.run.status, 1);
  ASSERT_TRUE(HasRunHeader(timed.lines, Banner(), timed.before, timed.after)) << timed.run.out;
  Lines report = AfterRunHeader(timed.lines);
  ASSERT_EQ(report.size(), 1u) << timed.run.out;
  EXPECT_TRUE(std::regex_match(report[0], std::regex("OpenProcess error [0-9]+"))) << report[0];
}

// With -c every thread line carries the thread's processor time and how busy
// it was over the interval: the spinner near a whole processor, the blocked
// workers near none. A machine busy with other work gives the spinner less
// than a processor: the host's own count of the fixture's processor time
// over the run says how much it got. Whatever it got, the share is of one
// processor (never above 100) and the spinner's stands above every
// blocked worker's.
TEST(ProcessWalk, CpuFiguresTellTheBusyThreadFromTheBlockedOnes) {
  Fixture fixture(3, WithSpinner{});
  ASSERT_TRUE(fixture.Ready());
  ASSERT_NE(fixture.Spinner(), 0u);
  double cpuBefore = fixture.CpuSeconds();
  auto start = std::chrono::steady_clock::now();
  ToolRun run = RunThreadsift({"-p", std::to_string(fixture.Pid()), "-c", "1000"});
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double share = (fixture.CpuSeconds() - cpuBefore) / wall * 100;
  ASSERT_GE(cpuBefore, 0);
  EXPECT_EQ(run.status, 0);
  static const std::regex header(R"(Thread ([0-9]+) \(0x[0-9a-f]+\)  cpu [0-9]+\.[0-9]{3} s  busy ([0-9]+)%)");
  std::map<unsigned, int> busy;
  for (const std::string& line : SplitLines(run.out)) {
    std::smatch match;
    if (std::regex_match(line, match, header)) busy[(unsigned)std::stoul(match[1])] = std::stoi(match[2]);
    if (line.rfind("Thread ", 0) == 0) {
      EXPECT_TRUE(std::regex_match(line, header)) << line;
    }
  }
  ASSERT_EQ(busy.count(fixture.Spinner()), 1u) << run.out;
  EXPECT_GE(busy[fixture.Spinner()], std::min(80.0, share - 20)) << "the host counted " << share << "%\n" << run.out;
  EXPECT_LE(busy[fixture.Spinner()], 100) << run.out;
  for (unsigned worker : fixture.Workers()) {
    ASSERT_EQ(busy.count(worker), 1u) << run.out;
    EXPECT_LE(busy[worker], 5) << run.out;
    EXPECT_GT(busy[fixture.Spinner()], busy[worker]) << "the host counted " << share << "%\n" << run.out;
  }
}

}  // namespace
}  // namespace e2e
