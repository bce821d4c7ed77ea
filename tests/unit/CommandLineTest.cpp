#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// Processes 5, 6, 8, 12 and 26 with one thread each, and the tool itself.
sim::Machine SmallMachine() {
  sim::Machine m;
  for (DWORD pid : {5u, 6u, 8u, 12u, 26u}) m.AddProcess(pid, u"app.exe").AddThread(pid * 10);
  AddSelf(m);
  return m;
}

std::string UsageError(const std::string& message) { return message + "\n\n" + kUsage; }

TEST(CommandLine, WithoutArgumentsAsksForAProcess) {
  sim::Machine m = SmallMachine();
  sim::RunResult r = RunThreadsift(m, {});
  EXPECT_EQ(r.out, UsageError("Option -p required."));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.CallCount("OpenProcessToken"), 0);
}

TEST(CommandLine, HelpAndVersionStopTheLoopWhereTheyStand) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{"-h"}, kBanner + kUsage, 0},
      {{"-?"}, kBanner + kUsage, 0},
      {{"-p", "5", "-h"}, kBanner + kUsage, 0},
      {{"-h", "-x"}, kBanner + kUsage, 0},
      {{"-x", "-h"}, UsageError("Option -x not recognized."), 1},
      {{"-v"}, kBanner, 0},
      {{"-p", "5", "-v"}, kBanner, 0},
      {{"-v", "-p"}, kBanner, 0},
      {{"-p", "-v"}, UsageError("Invalid argument for -p option."), 1},
  };
  for (const Case& c : cases) {
    sim::Machine m = SmallMachine();
    sim::RunResult r = RunThreadsift(m, c.args);
    EXPECT_EQ(r.out, c.out) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args);
    EXPECT_EQ(m.CallCount("OpenProcess"), 0);
  }
}

const char kBadOutput[] = "Option -o takes a file name ending in .svg, .speedscope.json, .folded or .txt, one a form.";

// Each option the tool reads has a line of the list, after the banner and
// the usage line; --help stops the loop as -h does.

TEST(CommandLine, OptionListHasALineForEveryOption) {
  sim::Machine m = SmallMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "5", "--help", "-x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, StartsWith(kBanner + kUsage + "\n"));
  for (const char* option : {"-p <pid>", "-t <tid>", "-e <name>", "-c <ms>", "-s <samples>", "-i <ms>", "-j ", "-w ",
                             "-a <conds>", "-o <file>", "-v ", "-h, -? ", "--help "}) {
    EXPECT_THAT(r.out, HasSubstr(std::string("\n  ") + option)) << option;
  }
  EXPECT_EQ(m.CallCount("OpenProcess"), 0);
  EXPECT_EQ(RunThreadsift(m, {"-x", "--help"}).out, UsageError("Option -x not recognized."));
}

TEST(CommandLine, OptionErrorsPrintTheirMessageAndUsageWithoutBanner) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-p"}, "Option -p requires argument."},
      {{"-p", "5", "-t"}, "Option -t requires argument."},
      {{"-p", "5", "-e"}, "Option -e requires argument."},
      {{"-p", "abc"}, "Invalid argument for -p option."},
      {{"-p", "5", "-t", "x"}, "Invalid argument for -t option."},
      {{"-p", "0"}, "Option -p required."},
      {{"-p", "00"}, "Option -p required."},
      {{"-p", "0x0"}, "Option -p required."},
      {{"-t", "0"}, "Option -p required."},
      {{"-t", "0", "-p", "5"}, "Option -t requires a valid thread ID or * for all threads."},
      {{"-p", "*", "-t", "0"}, "Option -t requires a valid thread ID or * for all threads."},
      {{"-P", "5"}, "Option -P not recognized."},
      {{"-p5"}, "Option -p5 not recognized."},
      {{"5"}, "Option 5 not recognized."},
      {{"-e", "-p", "5"}, "Option 5 not recognized."},
      {{"-x", "-p"}, "Option -x not recognized."},
      {{"-p", "2147483648"}, "Invalid argument for -p option."},
      {{"-p", "5", "-c"}, "Option -c requires argument."},
      {{"-p", "5", "-c", "abc"}, "Invalid argument for -c option."},
      {{"-p", "5", "-c", "0"}, "Invalid argument for -c option."},
      {{"-p", "5", "-c", "-5"}, "Invalid argument for -c option."},
      {{"-p", "5", "-c", "60001"}, "Invalid argument for -c option."},
      {{"-p", "5", "-s"}, "Option -s requires argument."},
      {{"-p", "5", "-s", "x"}, "Invalid argument for -s option."},
      {{"-p", "5", "-s", "0"}, "Invalid argument for -s option."},
      {{"-p", "5", "-s", "-3"}, "Invalid argument for -s option."},
      {{"-p", "5", "-s", "1000001"}, "Invalid argument for -s option."},
      {{"-p", "5", "-s", "9", "-i"}, "Option -i requires argument."},
      {{"-p", "5", "-s", "9", "-i", "ten"}, "Invalid argument for -i option."},
      {{"-p", "5", "-s", "9", "-i", "0"}, "Invalid argument for -i option."},
      {{"-p", "5", "-s", "9", "-i", "-1"}, "Invalid argument for -i option."},
      {{"-p", "5", "-s", "9", "-i", "10001"}, "Invalid argument for -i option."},
      {{"-p", "5", "-i", "10"}, "Option -i requires -s."},
      {{"-p", "*", "-s", "9"}, "Option -s requires a single process ID."},
      {{"-p", "5", "-o", "x.svg"}, "Option -o requires -s."},
      {{"-p", "5", "-s", "9", "-o"}, "Option -o requires argument."},
      {{"-p", "5", "-s", "9", "-o", "x.png"}, kBadOutput},
      {{"-p", "5", "-s", "9", "-o", ".svg"}, kBadOutput},
      {{"-p", "5", "-s", "9", "-o", "x.json"}, kBadOutput},
      {{"-p", "5", "-s", "9", "-o", "x.svg", "-o", "y.SVG"}, kBadOutput},
      {{"-p", "5", "-s", "9", "-o", "x.txt", "-o", "y.folded"}, kBadOutput},
      {{"-p", "5", "-s", "9", "-c", "100"}, "Option -c cannot be used with -s."},
      {{"-w", "-p", "5", "-s", "9"}, "Option -w cannot be used with -s."},
      {{"-j", "-p", "5", "-s", "9"}, "Option -j cannot be used with -s."},
      {{"-j", "-t", "5"}, "Option -p required."},
      {{"-p", "5", "-s", "9", "-w", "-j"}, "Option -w cannot be used with -s."},
      {{"-p", "5", "-w", "-s", "9", "-c", "100"}, "Option -c cannot be used with -s."},
      {{"-p", "0xFFFFFFFF"}, "Invalid argument for -p option."},
      {{"-p", "5", "-t", "-2147483649"}, "Invalid argument for -t option."},
      {{"-p", "5", "-a"}, "Option -a requires argument."},
      {{"-p", "5", "-a", ""}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "hung,"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "stuck"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "hung,hung:2000"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "hung:999"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "hung:"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu:80:"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "hung:600001"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "hung:0x3e8"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "hung:1000:2"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "deadlock:999"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "deadlock:600001"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu:0"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu:6401"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu:80:0"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu:80:3601"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu:80:5:1"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "cpu:-80"}, "Invalid argument for -a option."},
      {{"-p", "5", "-a", "deadlock,cpu:80,deadlock"}, "Invalid argument for -a option."},
      {{"-p", "*", "-a", "deadlock"}, "Option -a deadlock requires a single process ID."},
      {{"-p", "*", "-a", "cpu:90,deadlock:2000"}, "Option -a deadlock requires a single process ID."},
  };
  for (const Case& c : cases) {
    sim::Machine m = SmallMachine();
    sim::RunResult r = RunThreadsift(m, c.args);
    EXPECT_EQ(r.out, UsageError(c.message)) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 1) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLine, UnrecognisedArgumentIsRepeatedWholeAtAnyLength) {
  for (size_t length : {56u, 57u, 80u, 4000u}) {
    std::string argument = "-" + std::string(length - 1, 'q');
    sim::Machine m = SmallMachine();
    sim::RunResult r = RunThreadsift(m, {argument});
    EXPECT_EQ(r.out, UsageError("Option " + argument + " not recognized.")) << length;
    EXPECT_EQ(r.status, 1);
  }
}

TEST(CommandLine, NumbersReadAsDecimalHexadecimalOrOctalAndLaterValuesWin) {
  struct Case {
    std::vector<std::string> args;
    unsigned pid;
  };
  const Case cases[] = {
      {{"-p", "0x1A"}, 26}, {{"-p", "010"}, 8}, {{"-p", "12abc"}, 12}, {{"-p", "5", "-p", "6"}, 6}, {{"-p", " +5"}, 5},
  };
  for (const Case& c : cases) {
    sim::Machine m = SmallMachine();
    sim::RunResult r = RunThreadsift(m, c.args);
    char header[64];
    snprintf(header, sizeof(header), "Process %u (0x%x)  app.exe 1 thread(s)", c.pid, c.pid);
    EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(header, {c.pid * 10})) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 0);
  }
}

TEST(CommandLine, StarOrMinusOneSweepsEveryProcessWithEveryThread) {
  for (std::vector<std::string> args : {std::vector<std::string>{"-p", "*"}, {"-p", "-1"}, {"-p", "*", "-t", "7"}}) {
    sim::Machine m = SmallMachine();
    sim::RunResult r = RunThreadsift(m, args);
    EXPECT_THAT(r.out, EndsWith("6 process(es) found\n")) << ::testing::PrintToString(args);
    EXPECT_EQ(m.CallCount("OpenProcess"), 6);
    EXPECT_EQ(r.status, 0);
  }
}

TEST(CommandLine, ThreadStarIsTheSameAsNoThreadOption) {
  sim::Machine a = SmallMachine();
  sim::Machine b = SmallMachine();
  EXPECT_EQ(RunThreadsift(a, {"-p", "5", "-t", "*"}).out, RunThreadsift(b, {"-p", "5"}).out);
}

TEST(RunDriver, PrintsBannerRunHeaderAndReportInOrder) {
  sim::Machine m = SmallMachine();
  m.SetComputerName("NT4BOX");
  m.SetClock(1228000000);  // Sat Nov 29 23:06:40 2008 UTC
  sim::RunResult r = RunThreadsift(m, {"-p", "5"});
  EXPECT_EQ(r.out, kBanner + "Checking computer NT4BOX on Sat Nov 29 23:06:40 2008\n\n" +
                       ProcessReport("Process 5 (0x5)  app.exe 1 thread(s)", {50}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallArgs("GetComputerNameA"), std::vector<std::string>{"16"});
  EXPECT_EQ(m.books().enabledPrivileges, std::vector<std::string>{"SeDebugPrivilege"});
  EXPECT_EQ(m.OpenHandleCount(), 0);
  EXPECT_EQ(m.LiveAllocationCount(), 0);
}

TEST(RunDriver, PrivilegeFailureEndsTheRunAfterTwoLines) {
  sim::Machine m = SmallMachine();
  m.Fail("OpenProcessToken", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "5"});
  EXPECT_EQ(r.out, kBanner + "OpenProcessToken error 5\nGetPrivilege SeDebugPrivilege error 5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.CallCount("GetComputerNameA"), 0);
}

TEST(RunDriver, MissingDebugPrivilegeOfTheAccountIsNoFailure) {
  sim::Machine m = SmallMachine();
  m.DenyPrivilege("SeDebugPrivilege");
  sim::RunResult r = RunThreadsift(m, {"-p", "5"});
  EXPECT_THAT(r.out, StartsWith(kBanner + kRunHeader));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(m.books().enabledPrivileges.empty());
}

TEST(RunDriver, ComputerNameFailures) {
  sim::Machine m = SmallMachine();
  m.Fail("GetComputerNameA", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "5"});
  EXPECT_EQ(r.out, kBanner + "GetComputerName error 5\n");
  EXPECT_EQ(r.status, 1);

  // A name of 16 characters does not fit the 16-character buffer.
  sim::Machine longName = SmallMachine();
  longName.SetComputerName("ABCDEFGHIJKLMNOP");
  r = RunThreadsift(longName, {"-p", "5"});
  EXPECT_EQ(r.out, kBanner + "GetComputerName error 111\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(longName.CallCount("OpenProcess"), 0);

  sim::Machine fits = SmallMachine();
  fits.SetComputerName("ABCDEFGHIJKLMNO");
  EXPECT_THAT(RunThreadsift(fits, {"-p", "5"}).out, HasSubstr("Checking computer ABCDEFGHIJKLMNO on "));
}

TEST(RunDriver, FailedWalkEndsTheRunWithItsResultAndNoEvent) {
  sim::Machine m = SmallMachine();
  m.AddEvent("done");
  sim::RunResult r = RunThreadsift(m, {"-p", "77", "-e", "done"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "OpenProcess error 87\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.CallCount("OpenEventA"), 0);
}

TEST(NamedEvent, IsOpenedAfterTheReportSignalledAndClosed) {
  sim::Machine m = SmallMachine();
  m.AddEvent("A");
  m.AddEvent("B");
  sim::RunResult r = RunThreadsift(m, {"-e", "A", "-p", "5", "-e", "B"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport("Process 5 (0x5)  app.exe 1 thread(s)", {50}));
  EXPECT_EQ(m.books().signalledEvents, std::vector<std::string>{"B"});
  EXPECT_EQ(m.CallArgs("OpenEventA"), std::vector<std::string>{"0x1f0003,0,B"});
  EXPECT_EQ(m.CallSequence().back(), "CloseHandle");
  EXPECT_EQ(m.OpenHandleCount(), 0);
  // A waiter reads the report when the event is signalled: all of it is written out by then.
  EXPECT_TRUE(m.books().misuses.empty()) << ::testing::PrintToString(m.books().misuses);
}

TEST(NamedEvent, ThatNoEventBearsIsReportedAfterTheFullReport) {
  sim::Machine m = SmallMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "5", "-e", "%s%n nobody"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport("Process 5 (0x5)  app.exe 1 thread(s)", {50}) +
                       "OpenEvent %s%n nobody error 2\n");
  EXPECT_EQ(r.status, 1);
}

TEST(NamedEvent, FailedSignalIsReportedAndTheHandleStillClosed) {
  sim::Machine m = SmallMachine();
  m.AddEvent("done");
  m.Fail("SetEvent", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "5", "-e", "done"});
  EXPECT_THAT(r.out, EndsWith("Thread 50 (0x32)\n\nSetEvent error 5\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(m.books().signalledEvents.empty());
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

TEST(Interrupt, EndsTheRunWithItsLineAndLeavesTheEventUnsignalled) {
  sim::Machine m;
  sim::Process& p = m.AddProcess(5, u"app.exe");
  for (DWORD tid : {10u, 20u, 30u, 40u, 50u}) p.AddThread(tid);
  AddSelf(m);
  m.AddEvent("done");
  m.RaiseCtrlEventAfterOutput("Thread 20 (0x14)\n");
  sim::RunResult r = RunThreadsift(m, {"-p", "5", "-e", "done"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport("Process 5 (0x5)  app.exe 5 thread(s)", {10, 20}) +
                       "\n* Interrupt *\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallCount("OpenEventA"), 0);
  EXPECT_TRUE(m.books().signalledEvents.empty());
  EXPECT_EQ(m.books().ctrlHandlers, 0);
  EXPECT_EQ(m.books().symbolSessions, 0);
}

TEST(Interrupt, BreakKeyOutsideTheThreadLoopGetsThePlatformsDefaultAction) {
  sim::Machine m = SmallMachine();
  m.RaiseCtrlEventAtCall("OpenProcess", 1);
  sim::RunResult r = RunThreadsift(m, {"-p", "5"});
  EXPECT_TRUE(m.books().endedByCtrlEvent);
  EXPECT_THAT(r.out, Not(HasSubstr("Interrupt")));
}

}  // namespace
