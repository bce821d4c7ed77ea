// The -j report under Wine: every line of a sweep parses, and the fixture's
// threads show the frames the text report of the same sweep shows.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <optional>

#include "Runs.h"
#include "Settings.h"
#include "Stacks.h"

namespace e2e {
namespace {

using Json = nlohmann::json;

std::string Digits(const Json& hex) { return hex.get<std::string>().substr(2); }

// The frame line the text report prints for a frame of the JSON report.
std::string TextOf(const Json& frame) {
  std::string line = Digits(frame.at("offset")) + " = ";
  if (!frame.at("module").is_null()) {
    char module[300];
    std::snprintf(module, sizeof(module), "%12s!", frame["module"].get<std::string>().c_str());
    line += module;
  }
  if (frame.at("function").is_null()) return line + Digits(frame["offset"]) + "()";
  line += frame["function"].get<std::string>() + "(";
  for (size_t i = 0; i < frame.at("args").size(); ++i) line += (i == 0 ? "" : ",") + Digits(frame["args"][i]);
  line += ")";
  int displacement = (int)std::stoull(frame.at("function_offset").get<std::string>(), nullptr, 16);
  if (displacement != 0) line += (displacement > 0 ? "+" : "") + std::to_string(displacement);
  if (!frame.at("file").is_null()) {
    line += " " + frame["file"].get<std::string>() + "(" + std::to_string(frame.at("line").get<unsigned>()) + ")";
  }
  return line;
}

TEST(JsonReport, SweepLinesParseAndShowTheFramesOfTheTextReport) {
  Fixture fixture(3);
  ASSERT_TRUE(fixture.Ready());
  ToolRun text = RunThreadsift({"-p", "*"});
  ToolRun json = RunThreadsift({"-j", "-p", "*"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(json.status, 0);

  std::map<unsigned, Json> processes;
  for (const std::string& line : SplitLines(json.out)) {
    Json parsed = Json::parse(line, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << "a line that does not parse: " << line;
    EXPECT_EQ(parsed.at("pointer_width"), TheSettings().width);
    EXPECT_EQ(parsed.at("time").get<std::string>().size(), 20u) << line;
    processes[parsed.at("pid").get<unsigned>()] = parsed;
  }
  ASSERT_EQ(processes.count(fixture.Pid()), 1u) << json.out;
  const Json& report = processes[fixture.Pid()];
  EXPECT_EQ(report.at("image"), FixtureImage());

  const Lines* section = nullptr;
  Sweep sweep = SplitSweep(AfterRunHeader(SplitLines(text.out)));
  for (const Lines& s : sweep.processes) {
    std::optional<ProcessHeader> header = ReadProcessHeader(s.empty() ? "" : s[0]);
    if (header && header->pid == fixture.Pid()) section = &s;
  }
  ASSERT_NE(section, nullptr) << text.out;
  std::vector<unsigned> tids;
  for (const Json& thread : report.at("threads")) {
    unsigned tid = thread.at("thread_id").get<unsigned>();
    tids.push_back(tid);
    Lines frames;
    for (const Json& frame : thread.at("frames")) frames.push_back(TextOf(frame));
    EXPECT_EQ(frames, LinesUnderThread(*section, tid)) << "thread " << tid;
  }
  EXPECT_EQ(tids, fixture.SnapshotThreads());
}

}  // namespace
}  // namespace e2e
