// Options that end the run before any process is looked at.
#include <gtest/gtest.h>

#include "Runs.h"
#include "Settings.h"

namespace e2e {
namespace {

TEST(CommandLine, HelpPrintsBannerAndUsage) {
  for (const char* option : {"-h", "-?"}) {
    SCOPED_TRACE(option);
    ToolRun run = RunThreadsift({option});
    EXPECT_EQ(run.out, Banner() + "\n\n" + UsageLine() + "\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST(CommandLine, VersionPrintsOnlyTheBanner) {
  ToolRun run = RunThreadsift({"-v"});
  EXPECT_EQ(run.out, Banner() + "\n\n");
  EXPECT_EQ(run.status, 0);
}

TEST(CommandLine, NoArgumentsAskForAProcessWithoutBanner) {
  ToolRun run = RunThreadsift({});
  EXPECT_EQ(run.out, "Option -p required.\n\n" + UsageLine() + "\n");
  EXPECT_EQ(run.status, 1);
}

TEST(CommandLine, UnknownOptionOrBadValueIsNamed) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-x"}, "Option -x not recognized."},
      {{"-p", "1", "-s", "0"}, "Invalid argument for -s option."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ToolRun run = RunThreadsift(c.args);
    EXPECT_EQ(run.out, c.message + ("\n\n" + UsageLine() + "\n"));
    EXPECT_EQ(run.status, 1);
  }
}

// A run that prints nothing (here Wine finds no such program) leaves its
// exit status and standard error in the test's output.
TEST(CommandLine, RunThatPrintsNothingLeavesItsStatusAndStandardErrorInTheTestOutput) {
  const std::string absent = TheSettings().fixtureSources + "/absent.exe";
  ::testing::internal::CaptureStdout();
  ToolRun run = RunTool(absent, {});
  std::string note = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.status, 0);
  EXPECT_NE(note.find(absent + " printed nothing, exit status " + std::to_string(run.status) + ";"), std::string::npos)
      << note;
  EXPECT_NE(note.find("absent.exe", note.find('\n')), std::string::npos) << note;
}

}  // namespace
}  // namespace e2e
