#include "Programs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "ReportText.h"
#include "Settings.h"

namespace e2e {
namespace {

const milliseconds kToolTimeout(60000);
const milliseconds kFixtureStartTimeout(60000);
// Room for several workers to miss the fixture's two seconds for a heartbeat.
const milliseconds kStateTimeout(30000);

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

ToolRun RunThreadsift(const std::vector<std::string>& args) { return RunTool(TheSettings().threadsift, args); }

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args, const Environment& environment) {
  WineProcess tool(program, args, Pipes{}, environment);
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
    : threads_(threads), process_(TheSettings().fixture, FixtureArguments(threads, event), Pipes{true, 0}) {
  ready_ = ReadReport();
}

Fixture::~Fixture() {
  // The fixture ends when its input closes; the WineProcess kills it if it does not.
  process_.CloseInput();
}

bool Fixture::ReadReport() {
  std::optional<std::string> ids = process_.ReadLine(kFixtureStartTimeout);
  std::optional<std::string> snapshot = process_.ReadLine(kFixtureStartTimeout);
  std::istringstream head(ids.value_or(""));
  std::string word;
  head >> word >> pid_;
  std::string rest;
  std::getline(head, rest);
  bool understood = word == "pid" && ReadIdList(rest, "threads", &started_) && snapshot &&
                    ReadIdList(*snapshot, "snapshot", &snapshot_);
  std::optional<std::string> line;
  while (understood && (line = process_.ReadLine(kFixtureStartTimeout)) && *line != "ready") {
    understood = ReadInventoryLine(*line);
  }
  if (!understood || !line || modules_.empty() || (int)started_.size() < 1 + threads_) {
    ADD_FAILURE() << "the fixture did not start as expected; it printed:\n" << process_.Output();
    return false;
  }
  return true;
}

// "module <base> <size> <path>" or "function <name> <address>", numbers in hexadecimal.
bool Fixture::ReadInventoryLine(const std::string& line) {
  std::istringstream in(line);
  std::string kind;
  in >> kind;
  if (kind == "module") {
    FixtureModule module;
    in >> std::hex >> module.base >> module.size;
    in.get();
    std::getline(in, module.path);
    modules_.push_back(module);
    return !in.fail() && !module.path.empty();
  }
  std::string name;
  uint64_t address = 0;
  in >> name >> std::hex >> address;
  functions_[name] = address;
  return kind == "function" && !in.fail();
}

std::vector<unsigned> Fixture::Workers() const {
  if ((int)started_.size() < 1 + threads_) return {};
  return std::vector<unsigned>(started_.begin() + 1, started_.begin() + 1 + threads_);
}

uint64_t Fixture::FunctionStart(const std::string& name) const {
  auto found = functions_.find(name);
  return found == functions_.end() ? 0 : found->second;
}

// "state <tid>:<suspended>:<beats> ..."
std::map<unsigned, WorkerState> Fixture::State() {
  std::map<unsigned, WorkerState> states;
  if (!process_.WriteInput("state\n")) {
    ADD_FAILURE() << "cannot write to the fixture";
    return states;
  }
  auto deadline = std::chrono::steady_clock::now() + kStateTimeout;
  std::optional<std::string> line;
  do {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    line = process_.ReadLine(std::max(left, milliseconds(0)));
  } while (line && line->rfind("state", 0) != 0);
  std::istringstream in(line.value_or(""));
  std::string word;
  in >> word;
  unsigned tid = 0;
  WorkerState state;
  char colon1 = 0, colon2 = 0;
  while (in >> tid >> colon1 >> state.suspendCount >> colon2 >> state.beats) states[tid] = state;
  if (word != "state" || !in.eof() || states.size() != (size_t)threads_) {
    ADD_FAILURE() << "the fixture did not report its workers' state; it printed:\n" << process_.Output();
    states.clear();
  }
  return states;
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
