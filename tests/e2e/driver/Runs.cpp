#include "Runs.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "Settings.h"

namespace e2e {
namespace {

// The ids of the Unix threads of a process (Wine runs each Windows thread on one).
std::set<std::string> UnixThreads(pid_t pid) {
  std::set<std::string> tasks;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (dir == nullptr) return tasks;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') tasks.insert(entry->d_name);
  }
  closedir(dir);
  return tasks;
}

// Wine answers SIGINT by starting a thread in the process that calls the
// console control handlers. Waits until that thread has come and gone, so
// that the handler has run before the tool can write on; gives up after a
// while if the thread came and went too fast to be seen.
void WaitForControlThread(pid_t pid, const std::set<std::string>& before) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::set<std::string> newcomers;
  while (Clock::now() - start < Patience(std::chrono::seconds(10))) {
    std::set<std::string> now = UnixThreads(pid);
    bool newcomerAlive = false;
    for (const std::string& task : now) {
      if (before.count(task) != 0) continue;
      newcomers.insert(task);
      newcomerAlive = true;
    }
    if (!newcomers.empty() && !newcomerAlive) return;
    if (newcomers.empty() && Clock::now() - start > Patience(std::chrono::seconds(2))) return;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

}  // namespace

const std::string& Banner() {
  static const std::string banner = [] {
    if (!TheSettings().banner.empty()) return TheSettings().banner;
    // The build could not read it from the source: take what "-v" prints,
    // which at least has to carry the tool's name and version.
    Lines lines = SplitLines(RunThreadsift({"-v"}).out);
    std::string first = lines.empty() ? "" : lines[0];
    EXPECT_EQ(first.rfind("threadsift v", 0), 0u) << first;
    return first;
  }();
  return banner;
}

const std::string& LatchsiftBanner() {
  static const std::string banner = [] {
    if (!TheSettings().latchsiftBanner.empty()) return TheSettings().latchsiftBanner;
    Lines lines = SplitLines(RunLatchsift({"-h"}).out);
    std::string first = lines.empty() ? "" : lines[0];
    EXPECT_EQ(first.rfind("latchsift v1.0", 0), 0u) << first;
    return first;
  }();
  return banner;
}

std::string FaultingWalkName() { return TheSettings().width == 32 ? "FaultingStackWalk" : "FaultingStackWalk64"; }

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

::testing::AssertionResult IsFixtureReport(const Lines& report, const Fixture& fixture) {
  std::vector<unsigned> threads;
  ::testing::AssertionResult shape =
      IsProcessReport(report, fixture.Pid(), FixtureImage(), fixture.SnapshotThreads().size(), &threads);
  if (!shape) return shape;
  if (threads != fixture.SnapshotThreads()) {
    return ::testing::AssertionFailure() << "threads " << ::testing::PrintToString(threads) << ", snapshot order "
                                         << ::testing::PrintToString(fixture.SnapshotThreads());
  }
  return ::testing::AssertionSuccess();
}

Lines AfterRunHeader(const Lines& lines) {
  if (lines.size() < kRunHeaderLines) return {};
  return Lines(lines.begin() + kRunHeaderLines, lines.end());
}

bool ReadUntil(WineProcess& tool, const std::string& text, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (WithUnixLineEnds(tool.Output()).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline || !tool.ReadSome(milliseconds(100), 256)) return false;
  }
  return true;
}

void WaitUntilOutputStalls(const WineProcess& tool) {
  int stable = 0;
  for (int polls = 0, last = -1; stable < 10 && polls < 200; ++polls) {
    std::this_thread::sleep_for(milliseconds(50));
    int unread = tool.UnreadBytes();
    stable = unread > 0 && unread == last ? stable + 1 : 0;
    last = unread;
  }
}

bool SendBreak(WineProcess& tool) {
  std::set<std::string> threadsBefore = UnixThreads(tool.Pid());
  if (kill(tool.Pid(), SIGINT) != 0) return false;
  WaitForControlThread(tool.Pid(), threadsBefore);
  return true;
}

}  // namespace e2e
