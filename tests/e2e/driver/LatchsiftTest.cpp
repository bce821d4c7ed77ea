// latchsift under Wine: its command line, and its report on a process.
// Wine's lock query succeeds for a process that exists. Its 32-bit query
// fills in an empty lock list, so the 32-bit build reports "# of locks: 0";
// its 64-bit query leaves no lock list where the Windows x64 layout has it,
// so the 64-bit build gives the "no lock list" line. For a process that does
// not exist the query fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "Runs.h"
#include "Settings.h"

namespace e2e {
namespace {

// Far beyond any process id Wine gives these tests (it counts up in fours).
const char kPidNobodyHas[] = "4000000";

std::string Usage() { return "Usage: latchsift -p <pid>\n"; }
std::string Refusal(const std::string& message) { return message + "\n\n" + Usage(); }
std::string Help() { return LatchsiftBanner() + "\n\n" + Usage(); }
std::string NoLockList() { return LatchsiftBanner() + "\n\nRtlQueryProcessDebugInformation returned no lock list\n"; }
std::string NoLocks() { return LatchsiftBanner() + "\n\n# of locks: 0\n"; }

struct Case {
  std::vector<std::string> args;
  std::string out;
  int status;
};

void ExpectRuns(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::string typed;
    for (const std::string& arg : c.args) typed += " [" + arg + "]";
    SCOPED_TRACE("latchsift" + typed);
    ToolRun run = RunLatchsift(c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
  }
}

TEST(Latchsift, OptionsAreReadLeftToRightWithTheirMessages) {
  const std::string longArgument = "--" + std::string(300, 'q');
  ExpectRuns({
      {{}, Refusal("Option -p required."), 1},
      {{"-p"}, Refusal("Option -p requires process ID argument."), 1},
      {{"-p", "abc"}, Refusal("Invalid argument for -p option."), 1},
      {{"-p", "*"}, Refusal("Invalid argument for -p option."), 1},
      {{"-p", "-h"}, Refusal("Invalid argument for -p option."), 1},
      {{"-p", "2147483648"}, Refusal("Invalid argument for -p option."), 1},
      {{"-p", "-1"}, Refusal("Option -p required."), 1},
      {{"-h"}, Help(), 0},
      {{"-?"}, Help(), 0},
      {{"-p", "5", "-h"}, Help(), 0},
      {{"-h", "-x"}, Help(), 0},
      {{"-x", "-h"}, Refusal("Option -x not recognized."), 1},
      {{"-t", "5"}, Refusal("Option -t not recognized."), 1},
      {{"-v"}, Refusal("Option -v not recognized."), 1},
      {{"-e", "name"}, Refusal("Option -e not recognized."), 1},
      {{"-p", "5", longArgument}, Refusal("Option " + longArgument + " not recognized."), 1},
  });
}

// Which process the value named shows in the result: the fixture's gives
// what Wine's query of a process gives the build, one that does not exist
// the query's error.
TEST(Latchsift, ProcessValueReachesTheLockQuery) {
  Fixture fixture(1);
  ASSERT_TRUE(fixture.Ready());
  const std::string pid = std::to_string(fixture.Pid());
  char hex[16], octal[16];
  snprintf(hex, sizeof(hex), "0x%X", fixture.Pid());
  snprintf(octal, sizeof(octal), "0%o", fixture.Pid());
  const bool locksListed = TheSettings().width == 32;
  const std::string queried = locksListed ? NoLocks() : NoLockList();
  const int status = locksListed ? 0 : 1;
  ExpectRuns({
      {{"-p", pid}, queried, status},
      {{"-p", hex}, queried, status},
      {{"-p", octal}, queried, status},
      {{"-p", pid + "abc"}, queried, status},
      {{"-p", kPidNobodyHas, "-p", pid}, queried, status},
  });

  const std::regex queryFailed("RtlQueryProcessDebugInformation error -?[0-9]+\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-p", kPidNobodyHas}, {"-p", pid, "-p", kPidNobodyHas}}) {
    SCOPED_TRACE(args.size() == 2 ? "one process that does not exist" : "the later -p names it");
    ToolRun run = RunLatchsift(args);
    const std::string head = LatchsiftBanner() + "\n\n";
    ASSERT_EQ(run.out.substr(0, head.size()), head);
    EXPECT_TRUE(std::regex_match(run.out.substr(head.size()), queryFailed)) << run.out;
    EXPECT_EQ(run.status, 1);
  }
}

}  // namespace
}  // namespace e2e
