#include <gtest/gtest.h>

#include "ToolRuns.h"
#include "simwin_api.h"

namespace {

// Processes 0, 5, 6, 8, 12 and 26, each without locks.
sim::Machine LockMachine() {
  sim::Machine m;
  for (DWORD pid : {0u, 5u, 6u, 8u, 12u, 26u}) m.AddProcess(pid, u"app.exe");
  return m;
}

std::string UsageError(const std::string& message) { return message + "\n\n" + kLatchUsage; }

TEST(LatchsiftCommandLine, OptionErrorsHelpAndTheFirstFaultyArgument) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{}, UsageError("Option -p required."), 1},
      {{"-p", "-1"}, UsageError("Option -p required."), 1},
      {{"-p"}, UsageError("Option -p requires process ID argument."), 1},
      {{"-p", "abc"}, UsageError("Invalid argument for -p option."), 1},
      {{"-p", "*"}, UsageError("Invalid argument for -p option."), 1},
      {{"-p", "-h"}, UsageError("Invalid argument for -p option."), 1},
      {{"-p", "4294967296"}, UsageError("Invalid argument for -p option."), 1},
      {{"-t", "5"}, UsageError("Option -t not recognized."), 1},
      {{"-v"}, UsageError("Option -v not recognized."), 1},
      {{"-e", "name"}, UsageError("Option -e not recognized."), 1},
      {{"-x", "-h"}, UsageError("Option -x not recognized."), 1},
      {{std::string(200, 'z')}, UsageError("Option " + std::string(200, 'z') + " not recognized."), 1},
      {{"-h"}, kLatchBanner + kLatchUsage, 0},
      {{"-?"}, kLatchBanner + kLatchUsage, 0},
      {{"-p", "5", "-h"}, kLatchBanner + kLatchUsage, 0},
      {{"-h", "-x"}, kLatchBanner + kLatchUsage, 0},
      {{"-x", "--help"}, UsageError("Option -x not recognized."), 1},
      {{"--help", "-x"},
       kLatchBanner + kLatchUsage + "\n  -p <pid>   the process whose critical sections and resource locks to list\n" +
           "  -h, -?     print the banner and the usage line and stop\n" +
           "  --help     print the banner, the usage line and this list, and stop\n",
       0},
  };
  for (const Case& c : cases) {
    sim::Machine m = LockMachine();
    sim::RunResult r = RunLatchsift(m, c.args);
    EXPECT_EQ(r.out, c.out) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args);
    EXPECT_EQ(m.CallCount("RtlCreateQueryDebugBuffer"), 0);
  }
}

TEST(LatchsiftCommandLine, ProcessIdsReadAsNumbersAndTheLaterValueWins) {
  struct Case {
    std::vector<std::string> args;
    std::string queried;
  };
  const Case cases[] = {
      {{"-p", "0"}, "0,0x20"},      {{"-p", "0x1A"}, "26,0x20"},        {{"-p", "010"}, "8,0x20"},
      {{"-p", "12abc"}, "12,0x20"}, {{"-p", "5", "-p", "6"}, "6,0x20"},
  };
  for (const Case& c : cases) {
    sim::Machine m = LockMachine();
    sim::RunResult r = RunLatchsift(m, c.args);
    EXPECT_EQ(r.out, kLatchBanner + "# of locks: 0\n") << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(m.CallArgs("RtlQueryProcessDebugInformation"), std::vector<std::string>{c.queried});
  }
}

TEST(LatchsiftCommandLine, PrivilegeFailureEndsTheRunAfterTwoLines) {
  sim::Machine m = LockMachine();
  m.Fail("AdjustTokenPrivileges", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunLatchsift(m, {"-p", "5"});
  EXPECT_EQ(r.out, kLatchBanner + "AdjustTokenPrivileges error 5\nEnablePrivilege SeDebugPrivilege error 5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.CallCount("RtlCreateQueryDebugBuffer"), 0);
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

}  // namespace
