#include "Programs.h"

#include <gtest/gtest.h>

#include <sstream>

#include "ReportText.h"
#include "Settings.h"

namespace e2e {
namespace {

const milliseconds kToolTimeout(60000);
const milliseconds kFixtureStartTimeout(60000);

// Reads "<label> <n> <n> ..." into ids; false if the line has another shape.
bool ReadIdList(const std::string& line, const std::string& label, std::vector<unsigned>* ids) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word) || word != label) return false;
  unsigned id = 0;
  while (in >> id) ids->push_back(id);
  return in.eof() && !ids->empty();
}

std::vector<std::string> FixtureArguments(int threads, const std::string& event) {
  std::vector<std::string> args{"--threads", std::to_string(threads)};
  if (!event.empty()) args.insert(args.end(), {"--event", event});
  return args;
}

}  // namespace

ToolRun RunThreadsift(const std::vector<std::string>& args) {
  WineProcess tool(TheSettings().threadsift, args);
  ToolRun run;
  bool ended = tool.ReadToEnd(kToolTimeout);
  std::optional<int> status = tool.WaitForExit(ended ? kToolTimeout : milliseconds(0));
  if (!status) {
    ADD_FAILURE() << "threadsift did not end in time; output so far:\n" << tool.Output();
    tool.Kill();
  }
  run.status = status.value_or(-1);
  run.out = WithUnixLineEnds(tool.Output());
  return run;
}

Fixture::Fixture(int threads, const std::string& event)
    : process_(TheSettings().fixture, FixtureArguments(threads, event), Pipes{true, 0}) {
  ready_ = ReadReport();
}

Fixture::~Fixture() {
  // The fixture ends when its input closes; the WineProcess kills it if it does not.
  process_.CloseInput();
}

bool Fixture::ReadReport() {
  std::optional<std::string> ids = process_.ReadLine(kFixtureStartTimeout);
  std::optional<std::string> snapshot = process_.ReadLine(kFixtureStartTimeout);
  std::optional<std::string> ready = process_.ReadLine(kFixtureStartTimeout);
  if (!ids || !snapshot || !ready || *ready != "ready") {
    ADD_FAILURE() << "the fixture did not start; it printed:\n" << process_.Output();
    return false;
  }
  std::istringstream head(*ids);
  std::string word;
  head >> word >> pid_;
  std::string rest;
  std::getline(head, rest);
  if (word != "pid" || !ReadIdList(rest, "threads", &started_) ||
      !ReadIdList(*snapshot, "snapshot", &snapshot_)) {
    ADD_FAILURE() << "unexpected fixture report:\n" << process_.Output();
    return false;
  }
  return true;
}

bool Fixture::WaitForLine(const std::string& line, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    std::optional<std::string> next = process_.ReadLine(left);
    if (!next) return false;
    if (*next == line) return true;
  }
}

}  // namespace e2e
