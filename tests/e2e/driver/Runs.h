// What most tests share: the expected banner, the fixture's image name, and
// a run of the tool that remembers when it happened.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "Programs.h"
#include "ReportText.h"

namespace e2e {

// The banner line the tool prints in every place that prints one.
const std::string& Banner();
// The image name the platform gives the fixture's process.
std::string FixtureImage();
// A name no other test run uses at the same time.
std::string UniqueName(const std::string& stem);

struct TimedRun {
  ToolRun run;
  Lines lines;
  time_t before = 0;
  time_t after = 0;
};
TimedRun RunThreadsiftTimed(const std::vector<std::string>& args);

// The report after the run header.
Lines AfterRunHeader(const Lines& lines);

}  // namespace e2e
