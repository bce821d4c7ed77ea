// A break (SIGINT, which Wine delivers as a console control event) in the
// middle of a sweep.
#include <gtest/gtest.h>

#include "Runs.h"
#include "Settings.h"

namespace e2e {
namespace {

// Enough threads that their lines cannot all fit into the shrunk output pipe
// and the tool's own output buffer. 32-bit Wine cannot start 800 threads in
// one process (CreateThread fails with error 6 before that); 200 leave a
// report fifty times the pipe's size.
int BusyThreads() { return TheSettings().width == 32 ? 200 : 800; }
const int kOutputPipeBytes = 4096;

// The process section of `pid` in the sweep, or -1.
int SectionOf(const Sweep& sweep, unsigned pid) {
  for (size_t i = 0; i < sweep.processes.size(); ++i) {
    const Lines& section = sweep.processes[i];
    std::optional<ProcessHeader> header = ReadProcessHeader(section.empty() ? "" : section[0]);
    if (header && header->pid == pid) return (int)i;
  }
  return -1;
}

std::vector<unsigned> ThreadsOfSection(const Lines& section) {
  std::optional<ProcessHeader> header = ReadProcessHeader(section.empty() ? "" : section[0]);
  std::vector<unsigned> threads;
  EXPECT_TRUE(header && IsProcessReport(section, header->pid, header->image, header->threads, &threads));
  return threads;
}

TEST(Interrupt, BreakInASweepEndsItWithTheProcessInHand) {
  Fixture busy(BusyThreads());
  Fixture later(3);
  ASSERT_TRUE(busy.Ready());
  ASSERT_TRUE(later.Ready());
  const std::vector<unsigned>& busyThreads = busy.SnapshotThreads();

  WineProcess tool(TheSettings().threadsift, {"-p", "*"}, Pipes{false, kOutputPipeBytes});
  // Once the busy process's first thread line is out, the tool is in that
  // process's thread loop, where its control handler is registered, and
  // cannot leave it before the test reads on.
  std::string firstLine = ThreadLine(busyThreads[0]) + "\n";
  ASSERT_TRUE(ReadUntil(tool, firstLine, Patience(milliseconds(60000)))) << WithUnixLineEnds(tool.Output());
  WaitUntilOutputStalls(tool);
  ASSERT_FALSE(tool.WaitForExit(milliseconds(0)));
  ASSERT_TRUE(SendBreak(tool));
  ASSERT_TRUE(tool.ReadToEnd(Patience(milliseconds(60000))));
  EXPECT_EQ(tool.WaitForExit(Patience(milliseconds(10000))), std::optional<int>(0));

  std::string out = WithUnixLineEnds(tool.Output());
  Sweep sweep = SplitSweep(AfterRunHeader(SplitLines(out)));
  ASSERT_TRUE(sweep.count) << out;
  EXPECT_EQ(sweep.trailer, Lines({"", "* Interrupt *"}));
  const std::string ending = " process(es) found\n\n* Interrupt *\n";
  EXPECT_TRUE(out.size() >= ending.size() && out.compare(out.size() - ending.size(), ending.size(), ending) == 0)
      << out;

  // The busy process's section is the last: the later fixture and the tool
  // itself, which come after it, are not walked, yet the count counts them.
  int busySection = SectionOf(sweep, busy.Pid());
  ASSERT_GE(busySection, 0) << out;
  EXPECT_EQ(busySection + 1, (int)sweep.processes.size()) << out;
  EXPECT_EQ(SectionOf(sweep, later.Pid()), -1) << out;
  EXPECT_GE(*sweep.count, (int)sweep.processes.size() + 2) << out;
  for (int i = 0; i < busySection; ++i) {
    const Lines& section = sweep.processes[i];
    std::optional<ProcessHeader> header = ReadProcessHeader(section.empty() ? "" : section[0]);
    ASSERT_TRUE(header) << out;
    EXPECT_EQ(ThreadsOfSection(section).size(), header->threads) << "walked before the break: " << section[0];
  }
  std::vector<unsigned> walked = ThreadsOfSection(sweep.processes[busySection]);
  EXPECT_GE(walked.size(), 1u);
  EXPECT_LT(walked.size(), busyThreads.size()) << "the break came after the busy process's walk";
  EXPECT_EQ(walked, std::vector<unsigned>(busyThreads.begin(), busyThreads.begin() + walked.size()));
}

}  // namespace
}  // namespace e2e
