// threadsift -a under Wine: the hang scene goes wrong after a delay (its
// window thread blocks, a pair deadlocks, a thread computes, or it ends),
// and the watch must report after that and not before, naming what went
// wrong; each test says how long after the event the report came.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>

#include "Runs.h"
#include "Scene.h"
#include "Settings.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;

const int kDelayMs = 3000;

struct Watched {
  ToolRun run;
  Lines lines;
  long long ms = 0;  // from the scene's "ready" to the tool's end
  std::string pid;
  unsigned tid = 0;
};

// Starts the scene in mode, then threadsift -p <its pid> with args.
Watched WatchScene(Scene& scene, const std::vector<std::string>& args) {
  Watched watched;
  watched.pid = scene.Lines("pid").at(0).at(1);
  watched.tid = (unsigned)std::stoul(scene.Lines("thread").at(0).at(1));
  steady_clock::time_point start = steady_clock::now();
  std::vector<std::string> all = {"-p", watched.pid};
  all.insert(all.end(), args.begin(), args.end());
  watched.run = RunThreadsift(all);
  watched.ms = std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start).count();
  watched.lines = SplitLines(watched.run.out);
  return watched;
}

std::string PidPart(const std::string& pid) {
  char hex[16];
  snprintf(hex, sizeof(hex), "%lx", std::stoul(pid));
  return "Process " + pid + " \\(0x" + hex + "\\)";
}

// The figure of the watch's closing line, which must read as pattern
// (a regular expression with one group) says; -1 when it does not.
long Figure(const Watched& watched, const std::string& pattern) {
  std::regex line("^" + PidPart(watched.pid) + ": " + pattern + "$");
  for (const std::string& text : watched.lines) {
    std::smatch found;
    if (std::regex_match(text, found, line)) return std::stol(found[1]);
  }
  return -1;
}

bool HasFrame(const Watched& watched, unsigned tid, const std::string& function) {
  for (const std::string& line : LinesUnderThread(watched.lines, tid)) {
    if (line.find("!" + function + "(") != std::string::npos) return true;
  }
  return false;
}

TEST(Watch, AWindowThatBlocksIsReportedAfterFiveSilentSecondsWithItsFrames) {
  Scene scene(TheSettings().hangScene, "ready", {}, {"hang", std::to_string(kDelayMs)});
  ASSERT_TRUE(scene.Ready());
  Watched watched = WatchScene(scene, {"-a", "hung", "-w"});
  ASSERT_EQ(watched.run.status, 0) << watched.run.out;
  ASSERT_GE(watched.lines.size(), 4u) << watched.run.out;
  EXPECT_EQ(watched.lines[0], Banner());
  EXPECT_TRUE(std::regex_match(
      watched.lines[2], std::regex("^Waiting for process " + watched.pid + " \\(0x[0-9a-f]+\\) hangscene.exe: hung$")))
      << watched.lines[2];
  long silent = Figure(watched, "no window has answered for (\\d+) ms");
  EXPECT_GE(silent, 5000) << watched.run.out;
  EXPECT_TRUE(scene.WaitFor("now", Patience(milliseconds(10000))));
  EXPECT_GE(watched.ms, kDelayMs + 5000) << "the report came before the window had been silent 5 s";
  EXPECT_TRUE(HasFrame(watched, watched.tid, "HangSceneBlocked")) << watched.run.out;
  printf("hung: reported %lld ms after the window blocked (silent %ld ms)\n", watched.ms - kDelayMs, silent);
}

TEST(Watch, APairThatDeadlocksIsReportedOnceTwoWalksFindTheCycle) {
  Scene scene(TheSettings().hangScene, "ready", {}, {"deadlock", std::to_string(kDelayMs)});
  ASSERT_TRUE(scene.Ready());
  Watched watched = WatchScene(scene, {"-a", "deadlock:2000", "-w"});
  ASSERT_EQ(watched.run.status, 0) << watched.run.out;
  long held = Figure(watched, "a deadlock held for (\\d+) ms");
  EXPECT_GE(held, 2000) << watched.run.out;
  EXPECT_GE(watched.ms, kDelayMs + 2000);
  std::regex cycle("^Deadlock: thread " + std::to_string(watched.tid) + " \\(0x[0-9a-f]+\\) -> thread \\d+ .*");
  bool found = false;
  for (const std::string& line : watched.lines) found = found || std::regex_match(line, cycle);
  EXPECT_TRUE(found) << watched.run.out;
  EXPECT_TRUE(HasFrame(watched, watched.tid, "HangSceneEnter")) << watched.run.out;
  printf("deadlock: reported %lld ms after the pair began to lock (held %ld ms)\n", watched.ms - kDelayMs, held);
}

TEST(Watch, AThreadThatComputesIsReportedAfterItsSecondsAboveTheShare) {
  Scene scene(TheSettings().hangScene, "ready", {}, {"compute", std::to_string(kDelayMs)});
  ASSERT_TRUE(scene.Ready());
  Watched watched = WatchScene(scene, {"-a", "cpu:80:3"});
  ASSERT_EQ(watched.run.status, 0) << watched.run.out;
  long share = Figure(watched, "used (\\d+)% of a processor for 3 s");
  EXPECT_GT(share, 80) << watched.run.out;
  EXPECT_GE(watched.ms, kDelayMs + 3000);
  printf("cpu: reported %lld ms after the thread began to compute (%ld%%)\n", watched.ms - kDelayMs, share);
}

TEST(Watch, EveryProcessIsWatchedAndTheOneWhoseWindowBlocksIsReported) {
  Scene scene(TheSettings().hangScene, "ready", {}, {"hang", std::to_string(kDelayMs)});
  ASSERT_TRUE(scene.Ready());
  std::string pid = scene.Lines("pid").at(0).at(1);
  ToolRun every = RunThreadsift({"-p", "*", "-a", "hung:2000"});
  ASSERT_EQ(every.status, 0) << every.out;
  Lines lines = SplitLines(every.out);
  ASSERT_GE(lines.size(), 4u) << every.out;
  EXPECT_EQ(lines[2], "Waiting for every process: hung:2000");
  EXPECT_EQ(lines[3].rfind("Process " + pid + " (0x", 0), 0u) << lines[3];
  // The watch's two lines and an empty one come before the run header.
  std::optional<ProcessHeader> header = ReadProcessHeader(lines.at(kRunHeaderLines + 3));
  ASSERT_TRUE(header.has_value()) << every.out;
  EXPECT_EQ(std::to_string(header->pid), pid);
  EXPECT_EQ(header->image, "hangscene.exe");
}

TEST(Watch, AProcessThatEndsFirstEndsTheWatchWithStatusOne) {
  Scene scene(TheSettings().hangScene, "ready", {}, {"exit", std::to_string(kDelayMs)});
  ASSERT_TRUE(scene.Ready());
  Watched watched = WatchScene(scene, {"-a", "hung,cpu:90"});
  EXPECT_EQ(watched.run.status, 1) << watched.run.out;
  std::string process = "Process " + watched.pid + " (0x";
  ASSERT_EQ(watched.lines.size(), 5u) << watched.run.out;
  EXPECT_EQ(watched.lines[3].rfind(process, 0), 0u);
  EXPECT_NE(watched.lines[3].find(") has no window yet"), std::string::npos) << watched.lines[3];
  EXPECT_NE(watched.lines[4].find(") ended before any condition held"), std::string::npos) << watched.lines[4];
}

}  // namespace
}  // namespace e2e
