// What most tests share: the expected banners, the fixture's image name, a
// run of the tool that remembers when it happened, and reading a tool's
// output a little at a time.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "Programs.h"
#include "ReportText.h"

namespace e2e {

// The banner line the tool prints in every place that prints one.
const std::string& Banner();
const std::string& LatchsiftBanner();
// What the faulting build of the tool calls its stack walk in the lines it
// prints: FaultingStackWalk64, or FaultingStackWalk on 32-bit.
std::string FaultingWalkName();
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

// The report is the fixture's whole process section: its header with the
// fixture's pid, image and thread count, and its threads in snapshot order.
::testing::AssertionResult IsFixtureReport(const Lines& report, const Fixture& fixture);

// Reads the tool's output in small steps until `text` has come.
bool ReadUntil(WineProcess& tool, const std::string& text, milliseconds timeout);
// Waits until the tool stops filling its (small) output pipe, which means
// it is blocked writing the next lines.
void WaitUntilOutputStalls(const WineProcess& tool);
// Sends the tool a break (SIGINT, which Wine delivers as a console control
// event) and waits until Wine's thread that calls the tool's control handler
// has come and gone. False when the signal could not be sent.
bool SendBreak(WineProcess& tool);

}  // namespace e2e
