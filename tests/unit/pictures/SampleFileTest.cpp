#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "ManyStacks.h"
#include "ToolRuns.h"
#include "threadsift/pictures/FlameGraph.h"
#include "simwin_api.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kPath = "C:\\out\\profile";

// Process 120, a<b>&"c'.exe, with threads 9 and 10. Thread 9 waits in the
// platform's module throughout; thread 10 runs its own routine, then waits
// once, then runs again. Names hold markup, and one byte that is no UTF-8.
sim::Machine PicturedMachine() {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"a<b>&\"c'.exe");
  // Its folder is as long as the platform's, and no part of it.
  sim::Module& app = p.AddModule(0x400000, 0x10000, "app.exe", "C:\\WINAPPS\\app.exe");
  app.AddSymbol(0x401000, 0x100, "_busy<&>\"'\xff")
      .AddLine(0x401000, "C:\\src\\busy.cpp", 40)
      .AddLine(0x401020, "C:\\src\\busy.cpp", 44);
  app.AddSymbol(0x402000, 0x80, "_main");
  p.AddModule(0x77f00000, 0x100000, "kernel32.dll", "C:\\WINDOWS\\system32\\kernel32.dll")
      .AddSymbol(0x77f8abb3, 0x40, "WaitForSingleObjectEx");
  p.AddThread(9).AddFrame(0x77f8abcd).AddFrame(0x402000);
  const std::vector<sim::Frame> busy = {{0x401024, {}}, {0x402000, {}}};
  const std::vector<sim::Frame> waits = {{0x77f8abcd, {}}, {0x402000, {}}};
  p.AddThread(10).samples = {busy, busy, waits, busy};
  AddSelf(m);
  m.folders.insert("C:\\out");
  return m;
}

sim::RunResult Sample(sim::Machine& m, const std::string& path, const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {"-p", "120", "-s", "4", "-o", path};
  args.insert(args.end(), more.begin(), more.end());
  return RunThreadsift(m, args);
}

void ExpectNothingLeft(sim::Machine& m, const std::string& context) {
  for (const auto& file : m.files) EXPECT_THAT(file.first, Not(HasSubstr(".partial"))) << context;
  EXPECT_EQ(m.OpenHandleCount(), 0) << context;
  EXPECT_EQ(m.LiveAllocationCount(), 0) << context;
  EXPECT_TRUE(m.books().misuses.empty()) << context << ::testing::PrintToString(m.books().misuses);
}

std::string HeaderThen(const std::string& lines) {
  return kBanner + kRunHeader + "Process 120 (0x78)  a<b>&\"c'.exe 2 thread(s)\n\n" + lines +
         "\n4 sample(s), 2 thread(s) seen, longest hold 0 us, 0 miss(es)\n";
}

// The same samples in each form, from one run; what the run prints says
// what was written instead of the folded lines.
TEST(SampleFile, OneRunWritesEachFormOfTheSameSamples) {
  sim::Machine m = PicturedMachine();
  sim::RunResult r = Sample(m, kPath + ".svg", {"-o", kPath + ".speedscope.json", "-o", kPath + ".FOLDED"});
  EXPECT_EQ(r.out, HeaderThen("Wrote 4 samples of 2 threads to C:\\out\\profile.svg\n"
                              "Wrote 4 samples of 2 threads to C:\\out\\profile.speedscope.json\n"
                              "Wrote 4 samples of 2 threads to C:\\out\\profile.FOLDED\n"));
  EXPECT_EQ(r.status, 0);
  ExpectNothingLeft(m, "three forms");
  EXPECT_EQ(m.files.size(), 3u);

  // The folded lines as the run prints them without -o, in UTF-8.
  const std::string busy = "app.exe!_busy<&>\"'\xC3\xBF";
  EXPECT_EQ(m.files[kPath + ".FOLDED"],
            "a<b>&\"c'.exe;9;app.exe!_main;kernel32.dll!WaitForSingleObjectEx 4\n"
            "a<b>&\"c'.exe;10;app.exe!_main;" +
                busy +
                " 3\n"
                "a<b>&\"c'.exe;10;app.exe!_main;kernel32.dll!WaitForSingleObjectEx 1\n");

  // Thread 10's samples in time order, a run of one stack as one sample; a
  // routine's source line is where it begins, not where it was sampled.
  nlohmann::json file = nlohmann::json::parse(m.files[kPath + ".speedscope.json"]);
  EXPECT_EQ(file["shared"]["frames"], nlohmann::json::parse(R"([{"name": "kernel32.dll!WaitForSingleObjectEx"},
      {"name": "app.exe!_main"}, {"name": ")" + std::string("app.exe!_busy<&>\\\"'\xC3\xBF") +
                                                            R"(", "file": "C:\\src\\busy.cpp", "line": 40}])"));
  ASSERT_EQ(file["profiles"].size(), 2u);
  EXPECT_EQ(file["profiles"][1], nlohmann::json::parse(R"j({"type": "sampled", "name": "Thread 10 (0xa)",
      "unit": "milliseconds", "startValue": 0, "endValue": 40, "samples": [[1, 2], [1, 0], [1, 2]],
      "weights": [20, 10, 10]})j"));
  EXPECT_EQ(file["profiles"][0]["samples"], nlohmann::json::parse("[[1, 0]]"));
  EXPECT_EQ(file["name"], "a<b>&\"c'.exe (process 120): 4 samples every 10 ms");

  // The page: names escaped, never markup; each box as wide as its share;
  // the platform's module cool, the process's own warm.
  const std::string& page = m.files[kPath + ".svg"];
  EXPECT_THAT(page, HasSubstr("<text id=\"heading\" x=\"10.00\" y=\"24\">a&lt;b&gt;&amp;&quot;c&apos;.exe (process "
                              "120, 0x78): 4 samples of 2 threads, every 10 ms</text>"));
  EXPECT_THAT(page, Not(HasSubstr("<b>")));
  EXPECT_THAT(page, HasSubstr("<title>app.exe!_busy&lt;&amp;&gt;&quot;&apos;\xC3\xBF\n3 samples (37.50%)</title>"
                              "<rect x=\"600.00\" y=\"84\" width=\"442.50\" height=\"15\" fill=\"hsl("));
  EXPECT_THAT(page, HasSubstr("data-o=\"0\" data-n=\"8\" data-d=\"0\"><title>a&lt;b&gt;&amp;&quot;c&apos;.exe\n8 "
                              "samples (100.00%)</title><rect x=\"10.00\" y=\"132\" width=\"1180.00\""));
  auto hueOf = [&](const std::string& name) {
    size_t at = page.find("<title>" + name + "\n");
    at = page.find("fill=\"hsl(", at);
    return at == std::string::npos ? -1 : std::atoi(page.c_str() + at + 10);
  };
  EXPECT_GE(hueOf("kernel32.dll!WaitForSingleObjectEx"), 180);
  EXPECT_LT(hueOf("app.exe!_main"), 60);
}

// A file that cannot be made is said before any thread is held; one that
// cannot be written or put in place is said after the samples, and a file
// of its name keeps its old bytes. Nothing half written is left, and the
// status is 1.
TEST(SampleFile, FileThatCannotBeWrittenIsOneLineAndLeavesTheOldOneAlone) {
  struct Case {
    const char* name;
    std::string path;
    void (*arrange)(sim::Machine&);
    std::string line;  // in place of the Wrote line, or after the header
    bool sampled;
  };
  const std::string svg = kPath + ".svg";
  const Case cases[] = {
      {"a folder that refuses new files", "C:\\locked\\p.svg",
       [](sim::Machine& m) { m.lockedFolders.insert("C:\\locked"); }, "CreateFile C:\\locked\\p.svg error 5\n", false},
      {"a path that names a folder", "C:\\out\\dir.svg", [](sim::Machine& m) { m.folders.insert("C:\\out\\dir.svg"); },
       "MoveFileEx C:\\out\\dir.svg error 5\n", true},
      {"a full disk", svg, [](sim::Machine& m) { m.diskRoom = 1000; }, "WriteFile C:\\out\\profile.svg error 112\n",
       true},
      {"a failed close", svg, [](sim::Machine& m) { m.fileCloseError = ERROR_DISK_FULL; },
       "CloseHandle C:\\out\\profile.svg error 112\n", true},
      {"a failed move into place", svg, [](sim::Machine& m) { m.Fail("MoveFileExA", ERROR_ACCESS_DENIED); },
       "MoveFileEx C:\\out\\profile.svg error 5\n", true},
  };
  for (const Case& c : cases) {
    sim::Machine m = PicturedMachine();
    m.files[svg] = "old";
    c.arrange(m);
    sim::RunResult r = Sample(m, c.path);
    EXPECT_EQ(r.status, 1) << c.name;
    if (c.sampled) {
      EXPECT_EQ(r.out, HeaderThen(c.line)) << c.name;
    } else {
      EXPECT_EQ(r.out, kBanner + kRunHeader + c.line) << c.name;
      EXPECT_EQ(m.CallCount("SuspendThread"), 0) << c.name;
    }
    EXPECT_EQ(m.files, (std::map<std::string, std::string>{{svg, "old"}})) << c.name;
    ExpectNothingLeft(m, c.name);
  }
  // When it can be written, the old file is replaced.
  sim::Machine m = PicturedMachine();
  m.files[svg] = "old";
  EXPECT_EQ(Sample(m, svg).status, 0);
  EXPECT_THAT(m.files[svg], HasSubstr("</svg>"));
}

// What a run took, however it ended, is written whole: a break key's
// samples so far (said in the file and in the line), no sample of a thread
// (a page without boxes), a thread missed in one sample (a run without
// frames in its time order), a stack 256 frames deep, an image name that is
// no UTF-16.
TEST(SampleFile, EveryEndOfTheSamplingIsWrittenWholeAndSaysWhatItHolds) {
  sim::Machine broken = PicturedMachine();
  broken.RaiseCtrlEventAtCall("Sleep", 2);
  sim::RunResult r = Sample(broken, kPath + ".svg", {"-o", kPath + ".speedscope.json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("\nWrote 2 samples of 2 threads to C:\\out\\profile.svg, interrupted: the samples "
                               "taken so far\n"));
  EXPECT_THAT(r.out, HasSubstr("\n* Interrupt *\n"));
  EXPECT_THAT(broken.files[kPath + ".svg"],
              HasSubstr(">Interrupted by a break key: the samples taken so far (2 of 4). </text>"));
  nlohmann::json file = nlohmann::json::parse(broken.files[kPath + ".speedscope.json"]);
  EXPECT_EQ(file["name"],
            "a<b>&\"c'.exe (process 120): 2 samples every 10 ms, interrupted by a break key after 2 of 4");
  EXPECT_EQ(file["profiles"][1]["weights"], nlohmann::json::parse("[20]"));
  ExpectNothingLeft(broken, "break key");

  sim::Machine unheld = PicturedMachine();
  unheld.Fail("SuspendThread", ERROR_ACCESS_DENIED);
  r = Sample(unheld, kPath + ".svg", {"-o", kPath + ".speedscope.json"});
  EXPECT_THAT(r.out, HasSubstr("\nWrote 4 samples of 2 threads to C:\\out\\profile.svg\n"));
  const std::string& empty = unheld.files[kPath + ".svg"];
  EXPECT_THAT(empty, HasSubstr("data-total=\"0\""));
  EXPECT_THAT(empty, Not(HasSubstr("<g class=\"f\"")));
  EXPECT_THAT(empty, HasSubstr("<text id=\"detail\" x=\"10.00\" y=\"44\"></text>"));
  file = nlohmann::json::parse(unheld.files[kPath + ".speedscope.json"]);
  EXPECT_EQ(file["profiles"], nlohmann::json::array());
  EXPECT_EQ(file.count("activeProfileIndex"), 0u);
  ExpectNothingLeft(unheld, "no sample held");

  // Thread 10 is missed in its second sample: its time order keeps the gap,
  // which parts the runs of one stack on either side.
  sim::Machine missed = PicturedMachine();
  missed.Fail("SuspendThread", ERROR_ACCESS_DENIED, 2);
  r = Sample(missed, kPath + ".speedscope.json", {"-t", "10"});
  file = nlohmann::json::parse(missed.files[kPath + ".speedscope.json"]);
  EXPECT_EQ(file["profiles"][0]["samples"], nlohmann::json::parse("[[1, 0], [], [1, 0], [1, 2]]")) << r.out;
  EXPECT_EQ(file["profiles"][0]["weights"], nlohmann::json::parse("[10, 10, 10, 10]")) << r.out;

  sim::Machine deep = PicturedMachine();
  sim::Process& p = *deep.FindProcess(120);
  p.name = std::u16string(u"de") + (char16_t)0xD800 + u"ep.exe";
  sim::Thread& t = *p.FindThread(9);
  t.stack.depth = 0x8000;
  while (t.frames.size() < 256) t.AddFrame(0x402000);
  r = Sample(deep, kPath + ".svg", {"-o", kPath + ".speedscope.json", "-t", "9"});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string& page = deep.files[kPath + ".svg"];
  // The image, the thread and 256 frames: 258 rows, the deepest frame at the top.
  EXPECT_THAT(page, HasSubstr("height=\"" + std::to_string(84 + 258 * 16 + 34) + "\""));
  EXPECT_THAT(page, HasSubstr("data-d=\"257\"><title>kernel32.dll!WaitForSingleObjectEx\n4 samples (100.00%)</title>"
                              "<rect x=\"10.00\" y=\"84\""));
  EXPECT_THAT(page, HasSubstr("<title>de\xEF\xBF\xBD"
                              "ep.exe\n"));
  file = nlohmann::json::parse(deep.files[kPath + ".speedscope.json"]);
  EXPECT_EQ(file["profiles"][0]["samples"][0].size(), 256u);
  EXPECT_EQ(file["name"].get<std::string>().substr(0, 8),
            "de\xEF\xBF\xBD"
            "ep.");
}

// A million samples of 64 threads, in more stacks than the page could show:
// the page stays within its bound, shows the widest boxes (every thread's
// among them) and says how many frames it merged into their callers.
TEST(SampleFile, PageOfAMillionSamplesStaysWithinItsBound) {
  FoldedStacks stacks = ManyStacks(64, 200, 20, 1000000);
  sim::Machine m;  // the names' conversion is the platform's
  sim::SetActiveMachine(&m);
  FlameGraphPage page = MakeFlameGraph(MillionSamplesTaken(stacks));
  sim::SetActiveMachine(nullptr);
  EXPECT_LE(page.text.size(), kMaxPageBytes);
  EXPECT_GT(page.text.size(), kMaxPageBytes / 2);  // the room is used, not thrown away
  EXPECT_THAT(page.text, HasSubstr("data-total=\"64000000\""));
  for (int t = 0; t < 64; ++t)
    EXPECT_THAT(page.text, HasSubstr("<title>Thread " + std::to_string(1000 + t * 4) + " ("));
  EXPECT_GT(page.merged, 0);
  EXPECT_THAT(page.text, HasSubstr(">" + std::to_string(page.merged) +
                                   " frames too narrow to see merged into their "
                                   "callers.</text>"));
  // Every box shown but the image's stands on one shown below it, and the
  // shown and the merged are all the boxes: the image, 64 threads, and a
  // thread's 6 shared frames and 200 stacks' 14 others.
  std::map<int, std::vector<std::pair<long long, long long>>> byDepth;
  const std::string open = "<g class=\"f\" data-o=\"";
  for (size_t at = page.text.find(open); at != std::string::npos; at = page.text.find(open, at + 1)) {
    long long o = 0, n = 0;
    int d = 0;
    ASSERT_EQ(sscanf(page.text.c_str() + at + open.size(), "%lld\" data-n=\"%lld\" data-d=\"%d", &o, &n, &d), 3);
    byDepth[d].push_back(std::make_pair(o, o + n));
  }
  size_t shown = 0;
  for (const auto& depth : byDepth) {
    shown += depth.second.size();
    if (depth.first == 0) continue;
    for (const auto& box : depth.second) {
      const auto& below = byDepth[depth.first - 1];
      EXPECT_TRUE(std::any_of(below.begin(), below.end(),
                              [&](const std::pair<long long, long long>& caller) {
                                return caller.first <= box.first && box.second <= caller.second;
                              }))
          << "a box at depth " << depth.first << " floats";
    }
  }
  EXPECT_EQ(shown + (size_t)page.merged, 1u + 64u + 64u * (6u + 200u * 14u));
}

}  // namespace
