#include "Runs.h"

#include <unistd.h>

#include "Settings.h"

namespace e2e {

const std::string& Banner() {
  static const std::string banner = [] {
    if (!TheSettings().banner.empty()) return TheSettings().banner;
    // The build could not read it from the source: take what "-v" prints,
    // which at least has to carry the tool's name and version.
    Lines lines = SplitLines(RunThreadsift({"-v"}).out);
    std::string first = lines.empty() ? "" : lines[0];
    EXPECT_EQ(first.rfind("threadsift v2.04", 0), 0u) << first;
    return first;
  }();
  return banner;
}

std::string FixtureImage() {
  const std::string& path = TheSettings().fixture;
  return path.substr(path.find_last_of('/') + 1);
}

std::string UniqueName(const std::string& stem) { return stem + "-" + std::to_string(getpid()); }

TimedRun RunThreadsiftTimed(const std::vector<std::string>& args) {
  TimedRun timed;
  timed.before = time(nullptr);
  timed.run = RunThreadsift(args);
  timed.after = time(nullptr);
  timed.lines = SplitLines(timed.run.out);
  return timed;
}

Lines AfterRunHeader(const Lines& lines) {
  if (lines.size() < kRunHeaderLines) return {};
  return Lines(lines.begin() + kRunHeaderLines, lines.end());
}

}  // namespace e2e
