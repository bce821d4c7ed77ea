// The named event that a complete run signals at its end.
#include <gtest/gtest.h>

#include <regex>

#include "Runs.h"
#include "Settings.h"

namespace e2e {
namespace {

TEST(Event, CompleteRunSignalsTheEvent) {
  std::string event = UniqueName("threadsift-e2e-done");
  Fixture fixture(2, event);
  ASSERT_TRUE(fixture.Ready());
  TimedRun timed = RunThreadsiftTimed({"-p", std::to_string(fixture.Pid()), "-e", event});
  EXPECT_EQ(timed.run.status, 0);
  ASSERT_TRUE(HasRunHeader(timed.lines, Banner(), timed.before, timed.after)) << timed.run.out;
  EXPECT_TRUE(IsFixtureReport(AfterRunHeader(timed.lines), fixture)) << timed.run.out;
  EXPECT_TRUE(fixture.WaitForLine("signalled", Patience(milliseconds(10000))));
}

TEST(Event, NameNoEventBearsFailsAfterTheFullReport) {
  Fixture fixture(2);
  ASSERT_TRUE(fixture.Ready());
  std::string absent = UniqueName("threadsift-e2e-absent");
  TimedRun timed = RunThreadsiftTimed({"-e", absent, "-p", std::to_string(fixture.Pid())});
  EXPECT_EQ(timed.run.status, 1);
  ASSERT_TRUE(HasRunHeader(timed.lines, Banner(), timed.before, timed.after)) << timed.run.out;
  Lines report = AfterRunHeader(timed.lines);
  ASSERT_FALSE(report.empty());
  EXPECT_TRUE(std::regex_match(report.back(), std::regex("OpenEvent " + absent + " error [0-9]+"))) << report.back();
  report.pop_back();
  EXPECT_TRUE(IsFixtureReport(report, fixture)) << timed.run.out;
}

}  // namespace
}  // namespace e2e
