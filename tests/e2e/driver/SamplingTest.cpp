// Sampling (-s): rounds of every thread's stack, counted and printed one
// line a distinct stack, against a fixture whose threads are either blocked
// in a known chain or busy in two known functions for known shares of time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Runs.h"
#include "Settings.h"
#include "Stacks.h"

namespace e2e {
namespace {

const int kSamples = 300;
const char kIntervalMs[] = "5";
// The splitter spends 3 ms of every 4 in FixtureBusyLong. A loaded machine
// takes time from either half alike, but it blurs the share; an even split
// (50) or frames that name the wrong function must still fail.
const double kLongSharePercent = 75;
const double kLongShareTolerance = 15;

struct FoldedLine {
  unsigned tid = 0;
  std::vector<std::string> frames;  // outermost first
  long count = 0;
};

// "<image>;<tid>;<frame>;...;<frame> <count>", each frame "module!symbol",
// "module!0x<hex>" or "0x<hex>".
std::optional<FoldedLine> ReadFoldedLine(const std::string& line, const std::string& image) {
  static const std::string frame = "(?:[^;! ]+!(?:0x[0-9a-f]+|[^;]+)|0x[0-9a-f]+)";
  static const std::regex shape("([^;]+);([0-9]+);(" + frame + "(?:;" + frame + ")*) ([0-9]+)");
  std::smatch match;
  if (!std::regex_match(line, match, shape) || match[1].str() != image) return std::nullopt;
  FoldedLine folded;
  folded.tid = (unsigned)std::stoul(match[2].str());
  folded.count = std::stol(match[4].str());
  std::string frames = match[3].str();
  for (size_t start = 0, end; start <= frames.size(); start = end + 1) {
    end = std::min(frames.find(';', start), frames.size());
    folded.frames.push_back(frames.substr(start, end - start));
  }
  return folded;
}

struct Summary {
  long samples = -1;
  long threads = -1;
  long longestHoldUs = -1;
  long misses = -1;
};

std::optional<Summary> ReadSummary(const std::string& line) {
  static const std::regex shape(
      "([0-9]+) sample\\(s\\), ([0-9]+) thread\\(s\\) seen, longest hold ([0-9]+) us, ([0-9]+) miss\\(es\\)");
  std::smatch match;
  if (!std::regex_match(line, match, shape)) return std::nullopt;
  return Summary{std::stol(match[1].str()), std::stol(match[2].str()), std::stol(match[3].str()),
                 std::stol(match[4].str())};
}

// The module text of a frame in the module that holds the address: the
// base name of its path, as the fixture lists it.
std::string ModuleOf(const Fixture& fixture, uint64_t address) {
  for (const FixtureModule& module : fixture.Modules()) {
    if (module.base <= address && address - module.base < module.size) return BaseName(module.path);
  }
  return "?";
}

// The worker chain's frames outermost first, as one run of folded frames.
std::string WorkerChainText(const Fixture& fixture) {
  std::string text;
  for (const char* function :
       {"FixtureWorker", "FixtureLevelOne", "RelayCall", "FixtureLevelTwo", "FixtureLevelThree"}) {
    text += ";" + ModuleOf(fixture, fixture.FunctionStart(function)) + "!" + function;
  }
  return text + ";";
}

TEST(Sampling, CountsEachThreadsStacksInEveryRoundAndFindsTheBusyThreadsShare) {
  Fixture fixture(3, WithSplitter{});
  ASSERT_TRUE(fixture.Ready());
  ASSERT_NE(fixture.Splitter(), 0u);
  std::map<unsigned, WorkerState> before = fixture.State();

  TimedRun timed =
      RunThreadsiftTimed({"-p", std::to_string(fixture.Pid()), "-s", std::to_string(kSamples), "-i", kIntervalMs});
  const std::string& out = timed.run.out;
  EXPECT_EQ(timed.run.status, 0) << out;
  ASSERT_TRUE(HasRunHeader(timed.lines, Banner(), timed.before, timed.after)) << out;
  Lines report = AfterRunHeader(timed.lines);

  // The process header, an empty line, the stacks, an empty line, the summary.
  ASSERT_GE(report.size(), 5u) << out;
  EXPECT_EQ(report[0], ProcessHeaderLine(fixture.Pid(), FixtureImage(), fixture.SnapshotThreads().size())) << out;
  EXPECT_EQ(report[1], "") << out;
  auto blank = std::find(report.begin() + 2, report.end(), "");
  ASSERT_EQ(report.end() - blank, 2) << "no empty line and summary after the stacks\n" << out;
  std::optional<Summary> summary = ReadSummary(report.back());
  ASSERT_TRUE(summary) << "not a summary line: [" << report.back() << "]";
  EXPECT_EQ(summary->samples, kSamples);
  EXPECT_EQ(summary->misses, 0);

  const std::vector<unsigned>& snapshot = fixture.SnapshotThreads();
  std::vector<FoldedLine> folded;
  for (auto line = report.begin() + 2; line != blank; ++line) {
    std::optional<FoldedLine> read = ReadFoldedLine(*line, FixtureImage());
    ASSERT_TRUE(read) << "not a stack line of the fixture: [" << *line << "]";
    EXPECT_NE(std::find(snapshot.begin(), snapshot.end(), read->tid), snapshot.end())
        << "no thread of the fixture: [" << *line << "]";
    // Most counted first, and lines of one count in the order of their text.
    if (line != report.begin() + 2) {
      EXPECT_TRUE(folded.back().count > read->count || (folded.back().count == read->count && *(line - 1) < *line))
          << "out of order:\n"
          << *(line - 1) << "\n"
          << *line;
    }
    folded.push_back(*read);
  }

  std::map<unsigned, long> perThread;
  for (const FoldedLine& line : folded) perThread[line.tid] += line.count;
  EXPECT_EQ(summary->threads, (long)perThread.size()) << out;
  // The fixture's own threads live through the whole run: each one is
  // counted once in every round.
  for (unsigned tid : fixture.StartedThreads()) EXPECT_EQ(perThread[tid], kSamples) << "thread " << tid << "\n" << out;

  const std::string chain = WorkerChainText(fixture);
  const std::vector<unsigned> workers = fixture.Workers();
  for (const FoldedLine& line : folded) {
    if (std::find(workers.begin(), workers.end(), line.tid) == workers.end()) continue;
    std::string frames;
    for (const std::string& frame : line.frames) frames += ";" + frame;
    EXPECT_NE(frames.find(chain), std::string::npos)
        << "worker " << line.tid << " without the chain " << chain << " in\n"
        << frames;
  }

  // The splitter's innermost frame is one of its two halves, called from its
  // loop; the counts of the two give the share of time in the long one.
  const std::string image = FixtureImage();
  long busyLong = 0, busyShort = 0;
  for (const FoldedLine& line : folded) {
    if (line.tid != fixture.Splitter() || line.frames.size() < 2) continue;
    if (line.frames[line.frames.size() - 2] != image + "!SplitWorker") continue;
    if (line.frames.back() == image + "!FixtureBusyLong") busyLong += line.count;
    if (line.frames.back() == image + "!FixtureBusyShort") busyShort += line.count;
  }
  // Most samples catch the splitter inside its own code, not in the clock's.
  ASSERT_GE(busyLong + busyShort, kSamples / 2) << out;
  double longShare = 100.0 * busyLong / (busyLong + busyShort);
  EXPECT_NEAR(longShare, kLongSharePercent, kLongShareTolerance)
      << busyLong << " samples in FixtureBusyLong, " << busyShort << " in FixtureBusyShort\n"
      << out;

  EXPECT_TRUE(RanAgainUnsuspended(before, fixture.State()));
}

TEST(Sampling, BreakEndsTheSamplingWithWhatItGathered) {
  Fixture fixture(3);
  ASSERT_TRUE(fixture.Ready());
  std::map<unsigned, WorkerState> before = fixture.State();
  WineProcess tool(TheSettings().threadsift, {"-p", std::to_string(fixture.Pid()), "-s", "1000000", "-i", "500"},
                   Pipes{});
  // The header comes before the modules are registered; a few samples
  // later the tool waits between samples with its control handler in force.
  ASSERT_TRUE(ReadUntil(tool, "thread(s)\n", Patience(milliseconds(60000)))) << tool.Output();
  std::this_thread::sleep_for(Patience(milliseconds(3000)));
  ASSERT_FALSE(tool.WaitForExit(milliseconds(0)));
  ASSERT_TRUE(SendBreak(tool));
  ASSERT_TRUE(tool.ReadToEnd(Patience(milliseconds(60000))));
  EXPECT_EQ(tool.WaitForExit(Patience(milliseconds(10000))), std::optional<int>(0));

  std::string out = WithUnixLineEnds(tool.Output());
  Lines report = AfterRunHeader(SplitLines(out));
  ASSERT_GE(report.size(), 4u) << out;
  EXPECT_EQ(Lines(report.end() - 2, report.end()), Lines({"", "* Interrupt *"})) << out;
  std::optional<Summary> summary = ReadSummary(report[report.size() - 3]);
  ASSERT_TRUE(summary) << out;
  EXPECT_GE(summary->samples, 1);
  EXPECT_LT(summary->samples, 1000000);
  // Every worker was counted in every sample taken, the last one whole.
  std::map<unsigned, long> perThread;
  for (const std::string& line : report) {
    std::optional<FoldedLine> read = ReadFoldedLine(line, FixtureImage());
    if (read) perThread[read->tid] += read->count;
  }
  for (unsigned tid : fixture.Workers()) EXPECT_EQ(perThread[tid], summary->samples) << "worker " << tid << "\n" << out;
  EXPECT_TRUE(RanAgainUnsuspended(before, fixture.State()));
}

// The host's folder that holds p, and p under Wine's drive for the root.
std::string ParentOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }
std::string WinePath(const std::string& path) {
  std::string wine = "Z:" + path;
  std::replace(wine.begin(), wine.end(), '/', '\\');
  return wine;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One run writes the splitter's samples in each form; the page opens in a
// real browser, where its busy box is as wide as the folded counts say, a
// click zooms to it and the search finds its share, and the speedscope file
// holds to the format's schema and to the same counts. The screenshot is
// kept beside the files, in the build folder.
TEST(Sampling, FilesOfOneRunOpenInABrowserAndAgreeWithTheFoldedCounts) {
  Fixture fixture(3, WithSplitter{});
  ASSERT_TRUE(fixture.Ready());
  const std::string folder = ParentOf(TheSettings().prefix) + "/samples";
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
  const std::string stem = folder + "/splitter";
  for (const char* ending : {".svg", ".speedscope.json", ".folded"}) std::remove((stem + ending).c_str());
  TimedRun timed = RunThreadsiftTimed({"-p", std::to_string(fixture.Pid()), "-s", std::to_string(kSamples), "-i",
                                       kIntervalMs, "-o", WinePath(stem + ".svg"), "-o",
                                       WinePath(stem + ".speedscope.json"), "-o", WinePath(stem + ".folded")});
  const std::string& out = timed.run.out;
  ASSERT_EQ(timed.run.status, 0) << out;
  Lines report = AfterRunHeader(timed.lines);
  for (const char* ending : {".svg", ".speedscope.json", ".folded"}) {
    const std::string start = "Wrote " + std::to_string(kSamples) + " samples of ";
    const std::string end = " threads to " + WinePath(stem + ending);
    EXPECT_TRUE(std::any_of(report.begin(), report.end(),
                            [&](const std::string& line) {
                              return line.compare(0, start.size(), start) == 0 && line.size() > end.size() &&
                                     line.compare(line.size() - end.size(), end.size(), end) == 0;
                            }))
        << ending << "\n"
        << out;
  }
  // The folded file's lines are those the run would print: each of the
  // fixture's own threads counted in every sample.
  std::map<unsigned, long> perThread;
  for (const std::string& line : SplitLines(ReadFile(stem + ".folded"))) {
    if (line.empty()) continue;
    std::optional<FoldedLine> read = ReadFoldedLine(line, FixtureImage());
    ASSERT_TRUE(read) << "not a stack line of the fixture: [" << line << "]";
    perThread[read->tid] += read->count;
  }
  for (unsigned tid : fixture.StartedThreads()) EXPECT_EQ(perThread[tid], kSamples) << "thread " << tid;
  EXPECT_LE(ReadFile(stem + ".svg").size(), 2000000u);

  // The browser's checks need the host's Chromium: the 32-bit build's run,
  // in the virtual machine, has none.
  if (TheSettings().width == 32) GTEST_SKIP() << "no browser in the virtual machine";
  const std::string root = ParentOf(ParentOf(TheSettings().fixtureSources));
  const std::string command = "node '" + root + "/tests/browser/check-samples.mjs' '" + stem + ".svg' '" + stem +
                              ".speedscope.json' '" + stem + ".folded' '" + FixtureImage() + "!FixtureBusyLong' '" +
                              stem + ".png' 2>&1";
  std::string checks;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) checks.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0) << checks;
  printf("%s", checks.c_str());
  EXPECT_GT(ReadFile(stem + ".png").size(), 0u);
}

}  // namespace
}  // namespace e2e
