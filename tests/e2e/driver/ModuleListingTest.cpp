// The module listing of a process, compared with the modules the process
// itself sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

#include "Runs.h"
#include "Settings.h"

namespace e2e {
namespace {

// The labels of our own modules, from their version resources.
const std::map<std::string, std::string> kOurLabels = {
    // The maker's: product version 3.2.7, then the file-version text 15,
    // padded to 14 characters (its fixed file version is 9.8.7.6).
    {"fixture.exe", "3.2.7.15      "},
    // Another company's: the fixed file version, although the product
    // version is 5.6.7.8.
    {"fixrelay.dll", "1.02.0003.0004"},
    // No version resource.
    {"fixbare.dll", "-.--.----.----"}};

// The label a row shows for Wine's own modules, whose resources are not ours
// to know: a four-part file version or the placeholder.
std::string LabelIn(const std::string& row, const std::string& path) {
  static const std::regex label(" *([0-9]+\\.[0-9]{2,}\\.[0-9]{4,}\\.[0-9]{4,}|-\\.--\\.----\\.----)");
  const size_t start = ModuleLabelColumn();
  const std::string tail = "  " + path;
  if (row.size() < start + tail.size()) return "";
  std::smatch match;
  std::string field = row.substr(start, row.size() - start - tail.size());
  return std::regex_match(field, match, label) ? match[1].str() : "";
}

TEST(ModuleListing, ListsEveryModuleWithItsRangeVersionAndPath) {
  Fixture fixture(1);
  ASSERT_TRUE(fixture.Ready());
  ToolRun run = RunThreadsift({"-p", std::to_string(fixture.Pid())});
  EXPECT_EQ(run.status, 0);
  Lines rows = ModuleRows(AfterRunHeader(SplitLines(run.out)));

  std::vector<FixtureModule> modules = fixture.Modules();
  std::sort(modules.begin(), modules.end(),
            [](const FixtureModule& a, const FixtureModule& b) { return a.base < b.base; });
  ASSERT_EQ(rows.size(), modules.size()) << run.out;
  const std::string& fixturePath = TheSettings().fixture;
  const std::string ourFolder = WindowsPath(fixturePath.substr(0, fixturePath.find_last_of('/')));
  size_t ours = 0;
  for (size_t i = 0; i < modules.size(); ++i) {
    const FixtureModule& module = modules[i];
    auto ourLabel = kOurLabels.find(BaseName(module.path));
    std::string label = ourLabel != kOurLabels.end() ? ourLabel->second : LabelIn(rows[i], module.path);
    if (ourLabel != kOurLabels.end()) {
      ++ours;
      EXPECT_EQ(module.path, ourFolder + "\\" + ourLabel->first);
    }
    EXPECT_EQ(rows[i], ModuleRow(module.base, module.size, label, module.path));
  }
  EXPECT_EQ(ours, kOurLabels.size()) << run.out;
}

}  // namespace
}  // namespace e2e
