// threadsift -w under Wine: the demo program's two deadlocked threads make
// one cycle of two; the wait scene's waiters (a cycle of three, a waiter
// whose holder waits on an event, a waiter whose holder has ended) give
// exactly their lines; -t keeps one line; the report is otherwise the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "Runs.h"
#include "Scene.h"
#include "Settings.h"

namespace e2e {
namespace {

std::string Id(unsigned tid) {
  std::ostringstream text;
  text << "thread " << tid << " (0x" << std::hex << tid << ")";
  return text.str();
}

std::string WaitLine(unsigned waiter, uint64_t section, const std::string& rest) {
  std::string line = Id(waiter) + " waits for critical section 0x" + AddressText(section) + rest;
  line[0] = 'T';
  return line;
}

bool IsWaitLine(const std::string& line) {
  return line.find(" waits for ") != std::string::npos || line.find(" waits on ") != std::string::npos;
}

// The report's wait lines, sorted, and its deadlock lines, in order.
Lines WaitLines(const std::string& out) {
  Lines waits;
  for (const std::string& line : SplitLines(out)) {
    if (IsWaitLine(line)) waits.push_back(line);
  }
  std::sort(waits.begin(), waits.end());
  return waits;
}
Lines DeadlockLines(const std::string& out) {
  Lines found;
  for (const std::string& line : SplitLines(out)) {
    if (line.rfind("Deadlock: ", 0) == 0) found.push_back(line);
  }
  return found;
}

// The report without its run header's time, without the -w lines (the
// deadlock lines with the empty line after them), and without the native
// layer's frames: 32-bit Wine's section wait wakes up and waits again, so a
// waiter stands at another line of it from one run to the next.
std::string WithoutWaitsAndTime(const std::string& out) {
  std::string kept;
  bool afterDeadlock = false;
  for (const std::string& line : SplitLines(out)) {
    bool deadlock = line.rfind("Deadlock: ", 0) == 0;
    bool skipped = deadlock || (afterDeadlock && line.empty()) || line.rfind("Checking computer ", 0) == 0 ||
                   IsWaitLine(line) || line.find("ntdll.dll!") != std::string::npos;
    afterDeadlock = deadlock;
    if (!skipped) kept += line + "\n";
  }
  return kept;
}

const std::regex kWaitPattern(
    "^Thread ([0-9]+) \\(0x[0-9a-f]+\\) waits for critical section 0x([0-9a-f]+) held by "
    "thread ([0-9]+) \\(0x[0-9a-f]+\\)$");

TEST(WaitChain, DemoDeadlockIsOneCycleOfTwo) {
  Scene demo(TheSettings().demo, "deadlocked");
  ASSERT_TRUE(demo.Ready());
  unsigned pid = (unsigned)std::stoul(demo.Lines("pid").at(0).at(1));
  ToolRun run = RunThreadsift({"-p", std::to_string(pid), "-w"});
  ASSERT_EQ(run.status, 0) << run.out;
  Lines waits = WaitLines(run.out);
  ASSERT_EQ(waits.size(), 2u) << run.out;
  std::smatch first, second;
  ASSERT_TRUE(std::regex_match(waits[0], first, kWaitPattern)) << waits[0];
  ASSERT_TRUE(std::regex_match(waits[1], second, kWaitPattern)) << waits[1];
  EXPECT_EQ(first[1], second[3]);
  EXPECT_EQ(first[3], second[1]);
  EXPECT_NE(first[2], second[2]);
  // The cycle starts at the lower id, which need not be the thread listed
  // first: the platform gives out ids again.
  unsigned low = std::min((unsigned)std::stoul(first[1]), (unsigned)std::stoul(second[1]));
  unsigned high = std::max((unsigned)std::stoul(first[1]), (unsigned)std::stoul(second[1]));
  EXPECT_EQ(DeadlockLines(run.out), Lines({"Deadlock: " + Id(low) + " -> " + Id(high) + " -> " + Id(low)}));
}

// The scene's expected lines, from what it printed of itself.
struct Expected {
  Lines waits;
  std::vector<unsigned> cycle;  // from its lowest id
};

Expected ExpectedOf(const Scene& scene) {
  std::map<std::string, uint64_t> sections;
  for (const auto& words : scene.Lines("section")) sections[words.at(1)] = std::stoull(words.at(2), nullptr, 16);
  unsigned ended = (unsigned)std::stoul(scene.Lines("ended").at(0).at(1));
  Expected expected;
  std::map<unsigned, unsigned> holders;
  for (const auto& words : scene.Lines("waits")) {
    unsigned waiter = (unsigned)std::stoul(words.at(1));
    unsigned holder = (unsigned)std::stoul(words.at(3));
    std::string rest = " held by " + Id(holder) + (holder == ended ? ", which has ended" : "");
    expected.waits.push_back(WaitLine(waiter, sections.at(words.at(2)), rest));
    if (words.at(2).rfind("cycle", 0) == 0) holders[waiter] = holder;
  }
  for (const auto& words : scene.Lines("event")) {
    std::string line = Id((unsigned)std::stoul(words.at(1))) + " waits for event (handle 0x" + words.at(2) + ")";
    line[0] = 'T';
    expected.waits.push_back(line);
  }
  std::sort(expected.waits.begin(), expected.waits.end());
  for (unsigned at = holders.begin()->first; expected.cycle.size() < holders.size(); at = holders[at]) {
    expected.cycle.push_back(at);
  }
  return expected;
}

TEST(WaitChain, WaitSceneGivesExactlyItsLines) {
  Scene scene(TheSettings().waitScene, "ready");
  ASSERT_TRUE(scene.Ready());
  std::string pid = scene.Lines("pid").at(0).at(1);
  Expected expected = ExpectedOf(scene);
  ToolRun run = RunThreadsift({"-p", pid, "-w"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(WaitLines(run.out), expected.waits) << run.out;
  std::string cycle = "Deadlock: ";
  for (unsigned tid : expected.cycle) cycle += Id(tid) + " -> ";
  EXPECT_EQ(DeadlockLines(run.out), Lines({cycle + Id(expected.cycle[0])}));

  // Without -w the report is the same but for the -w lines.
  ToolRun plain = RunThreadsift({"-p", pid});
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(WaitLines(plain.out), Lines());
  EXPECT_EQ(WithoutWaitsAndTime(plain.out), WithoutWaitsAndTime(run.out));

  // With -t, the selected waiter's line alone and no cycle.
  unsigned one = (unsigned)std::stoul(scene.Lines("waits").at(0).at(1));
  ToolRun single = RunThreadsift({"-p", pid, "-t", std::to_string(one), "-w"});
  ASSERT_EQ(single.status, 0);
  Lines waits = WaitLines(single.out);
  ASSERT_EQ(waits.size(), 1u) << single.out;
  EXPECT_EQ(waits[0].rfind("Thread " + std::to_string(one) + " ", 0), 0u) << waits[0];
  EXPECT_EQ(DeadlockLines(single.out), Lines());
}

// The wait lines of the threads given, sorted.
Lines WaitLinesOf(const std::string& out, const std::set<unsigned>& threads) {
  Lines found;
  for (const std::string& line : WaitLines(out)) {
    unsigned tid = 0;
    if (sscanf(line.c_str(), "Thread %u ", &tid) == 1 && threads.count(tid) != 0) found.push_back(line);
  }
  return found;
}

// What a scene says its threads' wait lines are: each line, the threads
// they and its quiet threads are, and its cycles.
struct SceneExpectations {
  Lines waits;
  std::set<unsigned> threads;
  Lines cycles;
};

void AddExpected(const std::vector<std::string>& words, const std::string& verb, SceneExpectations* expected) {
  unsigned tid = (unsigned)std::stoul(words.at(1));
  std::string rest;
  for (size_t i = 2; i < words.size(); ++i) rest += (i > 2 ? " " : "") + words[i];
  std::string line = Id(tid) + " waits " + verb + " " + rest;
  line[0] = 'T';
  expected->waits.push_back(line);
  expected->threads.insert(tid);
}

SceneExpectations ExpectationsOf(const Scene& scene) {
  SceneExpectations expected;
  std::vector<std::vector<std::string>> expects = scene.Lines("expect");
  for (const auto& words : scene.Lines("signal")) {
    if (TheSettings().width == 64) expects.push_back(words);
    expected.threads.insert((unsigned)std::stoul(words.at(1)));
  }
  for (const auto& words : expects) AddExpected(words, "for", &expected);
  for (const auto& words : scene.Lines("expect-sleep")) AddExpected(words, "on", &expected);
  for (const auto& words : scene.Lines("quiet")) expected.threads.insert((unsigned)std::stoul(words.at(1)));
  for (const auto& words : scene.Lines("cycle")) {
    unsigned a = (unsigned)std::stoul(words.at(1)), b = (unsigned)std::stoul(words.at(2));
    expected.cycles.push_back("Deadlock: " + Id(a) + " -> " + Id(b) + " -> " + Id(a));
  }
  std::sort(expected.waits.begin(), expected.waits.end());
  std::sort(expected.cycles.begin(), expected.cycles.end());
  return expected;
}

// The scene's threads give exactly the wait lines and cycles it expects,
// and without -w the report is the same but for them.
void ExpectSceneLines(const std::string& program, const Environment& environment = {}) {
  Scene scene(program, "ready", environment);
  ASSERT_TRUE(scene.Ready());
  std::string pid = scene.Lines("pid").at(0).at(1);
  SceneExpectations expected = ExpectationsOf(scene);
  ToolRun run = RunThreadsift({"-p", pid, "-w"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(WaitLinesOf(run.out, expected.threads), expected.waits) << run.out;
  // The report orders its cycles by thread id; compared here as a set.
  Lines found = DeadlockLines(run.out);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, expected.cycles) << run.out;

  ToolRun plain = RunThreadsift({"-p", pid});
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(WaitLines(plain.out), Lines());
  EXPECT_EQ(WithoutWaitsAndTime(plain.out), WithoutWaitsAndTime(run.out));
}

TEST(WaitChain, HandleSceneGivesExactlyItsLines) { ExpectSceneLines(TheSettings().handleScene); }

// The scene's C++ mutexes are those of the stand-in run-time beside it,
// loaded before Wine's own.
TEST(WaitChain, ModernSceneGivesExactlyItsLines) {
  ExpectSceneLines(TheSettings().modernScene, {{"WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree,mshtml=;msvcp140=n"}});
}

}  // namespace
}  // namespace e2e
