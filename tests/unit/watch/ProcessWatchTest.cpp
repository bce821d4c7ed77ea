#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "JsonLines.h"
#include "Leftovers.h"
#include "Scenarios.h"
#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const uint64_t kSecond = 1000000;  // the clock's microseconds
const std::string kWaiting = "Waiting for process 120 (0x78) app.exe: ";
const std::string kEnded = "Process 120 (0x78) ended before any condition held\n";

// A top-level window of thread tid that answers until stopsAt (seconds).
sim::Window& UiWindow(sim::Process& p, uint64_t handle, DWORD tid, double stopsAt = -1) {
  sim::Window& w = p.AddWindow(handle, tid, u"Main");
  if (stopsAt >= 0) w.stopsPumpingAt = (uint64_t)(stopsAt * kSecond);
  return w;
}

struct Scene {
  const char* name;
  std::vector<std::string> conditions;  // the arguments after -p 120
  std::function<void(sim::Machine&, sim::Process&)> build;
  // The line that ends the watch, "N" standing for the figure in it, which
  // must lie in [low, high]; or kEnded.
  std::string held;
  unsigned low = 0, high = 0;
  bool noWindowYet = false;
};

std::vector<Scene> Scenes() {
  return {
      {"a window that answers for 3 s and then blocks is reported 5 s after its last answer",
       {"-a", "hung"},
       [](sim::Machine&, sim::Process& p) { UiWindow(p, 0x10010, 10, 3); },
       "no window has answered for N ms",
       5000,
       5500},
      {"the same window, in a process that ends 7.5 s in, before its windows have been silent 5 s",
       {"-a", "hung"},
       [](sim::Machine&, sim::Process& p) {
         UiWindow(p, 0x10010, 10, 3);
         p.endsAt = 7500000;
       },
       kEnded},
      {"two threads' windows, of which one stops answering: that thread is named",
       {"-a", "hung:2000"},
       [](sim::Machine&, sim::Process& p) {
         UiWindow(p, 0x10010, 10);
         UiWindow(p, 0x10020, 20, 1);
         UiWindow(p, 0x10030, 20);
       },
       "the windows of thread 20 (0x14) have not answered for N ms",
       2000,
       2500},
      {"no window at first, then one that never answers: said once, and timed from when it came",
       {"-a", "hung"},
       [](sim::Machine&, sim::Process& p) {
         sim::Window& w = UiWindow(p, 0x10010, 10, 0);
         w.shownFrom = 2 * kSecond;
         p.endsAt = 6500000;
       },
       kEnded,
       0,
       0,
       true},
      {"the same window in a process that lives on",
       {"-a", "hung"},
       [](sim::Machine&, sim::Process& p) { UiWindow(p, 0x10010, 10, 0).shownFrom = 2 * kSecond; },
       "no window has answered for N ms",
       5000,
       5500,
       true},
      {"windows that come and go, one destroyed while it is probed, and another process's window that never answers",
       {"-a", "hung:1000"},
       [](sim::Machine& m, sim::Process& p) {
         UiWindow(p, 0x10010, 10).destroyedAt = 1 * kSecond;
         sim::Window& later = UiWindow(p, 0x10020, 10);
         later.shownFrom = 3 * kSecond;
         later.answerTakes = 100000;
         UiWindow(p, 0x10030, 20, 0).destroyedAt = 50000;
         m.FindProcess(4000)->AddWindow(0x10040, 4004, u"Other").stopsPumpingAt = 0;
         p.endsAt = 8 * kSecond;
       },
       kEnded},
      {"a window slower to answer than the probe waits counts as silent",
       {"-a", "hung:1000"},
       [](sim::Machine&, sim::Process& p) { UiWindow(p, 0x10010, 10).answerTakes = 300000; },
       "no window has answered for N ms",
       1000,
       1500},
      {"the clock set back while watching adds no time to the silence",
       {"-a", "hung:2000"},
       [](sim::Machine& m, sim::Process& p) {
         UiWindow(p, 0x10010, 10, 0);
         m.clockSetBackAtRead = 6;
         m.clockSetBackBy = 3600 * kSecond;
       },
       "no window has answered for N ms",
       2000,
       2500},
      {"the process's id passes to a new process: the watched one has ended",
       {"-a", "hung"},
       [](sim::Machine&, sim::Process& p) {
         UiWindow(p, 0x10010, 10, 0);
         p.replacedAt = 2 * kSecond;
       },
       kEnded},
      {"a process busy from 3 s on: reported after 5 seconds above the share",
       {"-a", "cpu:80"},
       [](sim::Machine&, sim::Process& p) {
         p.cpu = {{0, 20}, {3 * kSecond, 100}};
       },
       "used N% of a processor for 5 s",
       100,
       100},
      {"the same process ending 7.5 s in, before its fifth busy second",
       {"-a", "cpu:80"},
       [](sim::Machine&, sim::Process& p) {
         p.cpu = {{0, 20}, {3 * kSecond, 100}};
         p.endsAt = 7500000;
       },
       kEnded},
      {"busy from the start: the fourth second above the share ends the watch once it has passed",
       {"-a", "cpu:80:4"},
       [](sim::Machine&, sim::Process& p) {
         p.cpu = {{0, 100}};
         p.endsAt = 4600000;
       },
       "used N% of a processor for 4 s",
       100,
       100},
      {"a process at exactly the share is not above it",
       {"-a", "cpu:100:2"},
       [](sim::Machine&, sim::Process& p) {
         p.cpu = {{0, 100}};
         p.endsAt = 5 * kSecond;
       },
       kEnded},
      {"two processors' worth, for two seconds",
       {"-a", "cpu:150:2"},
       [](sim::Machine&, sim::Process& p) {
         p.cpu = {{0, 200}};
       },
       "used N% of a processor for 2 s",
       200,
       200},
      {"busy every other second is never two seconds in a row",
       {"-a", "cpu:80:2"},
       [](sim::Machine&, sim::Process& p) {
         for (uint64_t s = 0; s < 8; ++s) p.cpu.push_back({s * kSecond, s % 2 == 0 ? 100u : 0u});
         p.endsAt = 8500000;
       },
       kEnded},
      {"a cycle of waiters found by two walks 5 s apart",
       {"-a", "deadlock", "-w"},
       [](sim::Machine& m, sim::Process&) { m = CycleMachine(); },
       "a deadlock held for N ms",
       5000,
       5250},
      {"a cycle that is over by the second walk is no deadlock",
       {"-a", "deadlock:1000", "-w"},
       [](sim::Machine& m, sim::Process&) {
         m = CycleMachine();
         sim::Process& cycle = *m.FindProcess(120);
         for (sim::MemoryBlock& block : cycle.memory) {
           if (block.address != 0x420200) continue;
           sim::Process scratch;
           block.readsLeft = 2;
           block.later = scratch.AddSection(0, 0, 0).bytes;
         }
         cycle.endsAt = 5 * kSecond;
       },
       kEnded},
      {"whichever condition holds first ends the watch",
       {"-a", "deadlock,cpu:50:1,hung"},
       [](sim::Machine&, sim::Process& p) {
         UiWindow(p, 0x10010, 10, 0);
         p.cpu = {{0, 10}, {2 * kSecond, 60}};
       },
       "used N% of a processor for 1 s",
       60,
       60},
  };
}

// The figure in the watch's last line when it reads as pattern says.
bool FigureOf(const std::string& out, const std::string& pattern, unsigned* figure) {
  std::string line = "Process 120 (0x78): " + pattern + "\n\n";
  size_t n = line.find('N');
  size_t at = out.find(line.substr(0, n));
  if (at == std::string::npos) return false;
  size_t digits = at + n, end = digits;
  while (end < out.size() && out[end] >= '0' && out[end] <= '9') ++end;
  if (end == digits || out.compare(end, line.size() - n - 1, line, n + 1) != 0) return false;
  *figure = (unsigned)std::stoul(out.substr(digits, end - digits));
  return true;
}

TEST(Watch, EachSceneEndsItsWatchAsItShould) {
  for (const Scene& scene : Scenes()) {
    sim::Machine m = AppMachine();
    scene.build(m, *m.FindProcess(120));
    std::vector<std::string> args = {"-p", "120"};
    args.insert(args.end(), scene.conditions.begin(), scene.conditions.end());
    sim::RunResult r = RunThreadsift(m, args);
    std::string names = scene.conditions[1];
    for (size_t at = 0; (at = names.find(',', at)) != std::string::npos; at += 2) names.replace(at, 1, ", ");
    std::string start = kBanner + kWaiting + names + "\n";
    if (scene.noWindowYet) start += "Process 120 (0x78) has no window yet\n";
    EXPECT_THAT(r.out, StartsWith(start)) << scene.name;
    EXPECT_EQ(r.out.find("has no window yet", start.size()), std::string::npos) << scene.name;
    if (scene.held == kEnded) {
      EXPECT_EQ(r.out, start + kEnded) << scene.name;
      EXPECT_EQ(r.status, 1) << scene.name;
    } else {
      unsigned figure = 0;
      ASSERT_TRUE(FigureOf(r.out, scene.held, &figure)) << scene.name << "\n" << r.out;
      EXPECT_GE(figure, scene.low) << scene.name;
      EXPECT_LE(figure, scene.high) << scene.name;
      // The report follows, made after the watch.
      EXPECT_THAT(r.out, HasSubstr("\n\n" + kRunHeader + kHeader120 + "\n")) << scene.name;
      EXPECT_EQ(r.status, 0) << scene.name;
    }
    EXPECT_EQ(Leftovers(m, {}, {}), std::vector<std::string>()) << scene.name;
  }
}

TEST(Watch, ADeadlockWatchWithWaitsReportsTheCycle) {
  sim::Machine m = CycleMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w", "-a", "deadlock:1000"});
  EXPECT_THAT(r.out, HasSubstr("Process 120 (0x78): a deadlock held for 1000 ms\n\n" + kRunHeader));
  EXPECT_THAT(r.out, HasSubstr("Deadlock: thread 10 (0xa) -> thread 20 (0x14) -> thread 10 (0xa)\n"));
  EXPECT_EQ(r.status, 0);
}

TEST(Watch, ABreakKeyWhileWaitingEndsTheRunAsAnInterruptedReport) {
  sim::Machine m = AppMachine();
  UiWindow(*m.FindProcess(120), 0x10010, 10);
  m.RaiseCtrlEventAtCall("Sleep", 3);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-a", "hung", "-e", "Done"});
  EXPECT_EQ(r.out, kBanner + kWaiting + "hung\n\n* Interrupt *\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Leftovers(m, {}, {}), std::vector<std::string>());

  // A break key in the walk that would confirm the cycle, once both its
  // threads are walked: the walk is cut short, and nothing is confirmed.
  sim::Machine cycle = CycleMachine();
  cycle.RaiseCtrlEventAtCall("SuspendThread", 5);
  r = RunThreadsift(cycle, {"-p", "120", "-a", "deadlock:1000"});
  EXPECT_EQ(r.out, kBanner + kWaiting + "deadlock:1000\n\n* Interrupt *\n");
  EXPECT_EQ(Leftovers(cycle, {}, {}), std::vector<std::string>());
}

TEST(Watch, ThenSamplesOrReportsAndSignalsTheEventOnceTheReportIsComplete) {
  sim::Machine m = AppMachine();
  m.FindProcess(120)->cpu = {{0, 100}};
  m.AddEvent("Done");
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-a", "cpu:50:1", "-s", "2", "-e", "Done"});
  EXPECT_THAT(r.out, HasSubstr("Process 120 (0x78): used 100% of a processor for 1 s\n\n" + kRunHeader));
  EXPECT_THAT(r.out, HasSubstr("2 sample(s), "));
  EXPECT_EQ(m.books().signalledEvents, std::vector<std::string>({"Done"}));
  EXPECT_EQ(r.status, 0);

  sim::Machine ended = AppMachine();
  ended.FindProcess(120)->endsAt = kSecond;
  ended.AddEvent("Done");
  r = RunThreadsift(ended, {"-p", "120", "-a", "cpu:50", "-e", "Done"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ended.books().signalledEvents.empty());
}

TEST(Watch, TheJsonReportNamesTheConditionThatHeld) {
  sim::Machine m = AppMachine();
  UiWindow(*m.FindProcess(120), 0x10010, 10, 0);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-a", "hung:1000", "-j"});
  std::vector<nlohmann::ordered_json> lines;
  std::string problem;
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem << r.out;
  ASSERT_EQ(lines.size(), 1u) << r.out;
  const nlohmann::ordered_json& trigger = lines[0].at("trigger");
  EXPECT_EQ(trigger.at("condition"), "hung");
  EXPECT_GE(trigger.at("ms").get<unsigned>(), 1000u);
  EXPECT_TRUE(trigger.at("thread").is_null());
  EXPECT_EQ(lines[0].at("pid"), 120);

  sim::Machine ends = AppMachine();
  ends.FindProcess(120)->endsAt = kSecond;
  r = RunThreadsift(ends, {"-p", "120", "-a", "cpu:10", "-j"});
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem << r.out;
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(lines[0].at("ended_before_trigger"), true);
  EXPECT_EQ(r.status, 1);
}

// Processes 120 (whose window answers), 130, 140 (which starts 2 s in)
// and the tool, whose window never answers and is never watched.
sim::Machine ManyProcesses() {
  sim::Machine m = AppMachine();
  UiWindow(*m.FindProcess(120), 0x10010, 10);
  sim::Process& second = m.AddProcess(130, u"second.exe");
  second.AddThread(40);
  sim::Process& late = m.AddProcess(140, u"late.exe");
  late.AddThread(50);
  late.startsAt = 2 * kSecond;
  UiWindow(*m.FindProcess(4000), 0x10090, 4004, 0);
  return m;
}

TEST(Watch, EveryProcessIsWatchedAndTheFirstWhoseConditionHoldsIsReported) {
  struct Case {
    const char* name;
    const char* conditions;
    std::function<void(sim::Machine&)> build;
    std::string held;
    std::string header;
  };
  const Case cases[] = {
      {"a window of a process started since the watch began", "hung:1000",
       [](sim::Machine& m) { UiWindow(*m.FindProcess(140), 0x10050, 50, 2.5); },
       "Process 140 (0x8c): no window has answered for ", "Process 140 (0x8c)  late.exe 1 thread(s)\n"},
      {"the busy process among idle ones", "cpu:50:2",
       [](sim::Machine& m) {
         m.FindProcess(130)->cpu = {{0, 5}, {1 * kSecond, 90}};
       },
       "Process 130 (0x82): used 90% of a processor for 2 s\n\n", "Process 130 (0x82)  second.exe 1 thread(s)\n"},
      {"a process that cannot be opened is passed over, and not asked again at every round", "hung:1000",
       [](sim::Machine& m) {
         m.FailFor("OpenProcess", 130, 5);
         UiWindow(*m.FindProcess(130), 0x10030, 40, 0);
         UiWindow(*m.FindProcess(120), 0x10020, 20, 3);
       },
       "Process 120 (0x78): the windows of thread 20 (0x14) have not answered for ", kHeader120 + "\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m = ManyProcesses();
    c.build(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "*", "-a", c.conditions});
    EXPECT_THAT(r.out, StartsWith(kBanner + "Waiting for every process: " + c.conditions + "\n" + c.held)) << c.name;
    EXPECT_THAT(r.out, HasSubstr("\n\n" + kRunHeader + c.header)) << c.name;
    EXPECT_EQ(r.out.find(kSeparator), std::string::npos) << c.name << ": the report is of one process";
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(Leftovers(m, {"OpenProcess"}, {}), std::vector<std::string>()) << c.name;
    std::map<std::string, int> watchOpens;
    for (const std::string& args : m.CallArgs("OpenProcess")) {
      if (args.rfind("0x400,", 0) == 0) ++watchOpens[args];
    }
    for (const auto& opened : watchOpens) EXPECT_EQ(opened.second, 1) << c.name << ": " << opened.first;
  }
}

TEST(Watch, AProcessThatCannotBeOpenedOrWalkedEndsTheRunWithItsFailure) {
  sim::Machine m = AppMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "77", "-a", "hung"});
  EXPECT_EQ(r.out, kBanner + "OpenProcess error 87\n");
  EXPECT_EQ(r.status, 1);

  // The deadlock watch's first walk cannot open the process for itself.
  sim::Machine walked = CycleMachine();
  walked.Fail("OpenProcess", 5, 2);
  r = RunThreadsift(walked, {"-p", "120", "-a", "deadlock"});
  EXPECT_EQ(r.out, kBanner + kWaiting + "deadlock\nOpenProcess error 5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Leftovers(walked, {"OpenProcess"}, {}), std::vector<std::string>());
}

}  // namespace
