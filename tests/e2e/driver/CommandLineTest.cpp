// Options that end the run before any process is looked at.
#include <gtest/gtest.h>

#include "Runs.h"

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

}  // namespace
}  // namespace e2e
