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

TEST(CommandLine, UnknownOptionIsNamed) {
  ToolRun run = RunThreadsift({"-x"});
  EXPECT_EQ(run.out, "Option -x not recognized.\n\n" + UsageLine() + "\n");
  EXPECT_EQ(run.status, 1);
}

}  // namespace
}  // namespace e2e
