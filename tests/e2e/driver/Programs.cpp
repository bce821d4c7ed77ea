#include "Programs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ReportText.h"
#include "Settings.h"

namespace e2e {
namespace {

milliseconds ToolTimeout() { return Patience(milliseconds(60000)); }
milliseconds FixtureStartTimeout() { return Patience(milliseconds(60000)); }
// Room for several workers to miss the fixture's two seconds for a heartbeat.
milliseconds StateTimeout() { return Patience(milliseconds(30000)); }

// Reads "<label> <n> <n> ..." into ids; false if the line has another shape.
bool ReadIdList(const std::string& line, const std::string& label, std::vector<unsigned>* ids) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word) || word != label) return false;
  unsigned id = 0;
  while (in >> id) ids->push_back(id);
  return in.eof() && !ids->empty();
}

std::vector<std::string> ThreadsArgument(int threads) { return {"--threads", std::to_string(threads)}; }

std::vector<std::string> FixtureArguments(int threads, const std::string& event) {
  std::vector<std::string> args = ThreadsArgument(threads);
  if (!event.empty()) args.insert(args.end(), {"--event", event});
  return args;
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

milliseconds Left(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
  return std::max(left, milliseconds(0));
}

}  // namespace

ToolRun RunThreadsift(const std::vector<std::string>& args) { return RunTool(TheSettings().threadsift, args); }

ToolRun RunLatchsift(const std::vector<std::string>& args) { return RunTool(TheSettings().latchsift, args); }

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args, const Environment& environment) {
  WineProcess tool(program, args, Pipes{}, environment);
  ToolRun run;
  bool ended = tool.ReadToEnd(ToolTimeout());
  std::optional<int> status = tool.WaitForExit(ended ? ToolTimeout() : milliseconds(0));
  if (!status) {
    ADD_FAILURE() << program << " did not end in time; output so far:\n" << tool.Output();
    tool.Kill();
  }
  run.status = status.value_or(-1);
  run.out = WithUnixLineEnds(tool.Output());
  return run;
}

Fixture::Fixture(int threads, const std::string& event) : Fixture(FixtureArguments(threads, event), threads) {}

Fixture::Fixture(int threads, HoldOneSuspended)
    : Fixture(With(ThreadsArgument(threads), {"--hold-suspended"}), threads) {}

Fixture::Fixture(int threads, WithSpinner) : Fixture(With(ThreadsArgument(threads), {"--spin"}), threads) {}

Fixture::Fixture(int threads, WithSplitter) : Fixture(With(ThreadsArgument(threads), {"--split"}), threads) {}

Fixture::Fixture(int threads, Churn churn)
    : Fixture(With(ThreadsArgument(threads), {"--churn", std::to_string(churn.ms)}), threads) {}

Fixture::Fixture(const std::vector<std::string>& args, int threads)
    : threads_(threads), process_(TheSettings().fixture, args, Pipes{true, 0}) {
  ready_ = ReadReport();
}

Fixture::~Fixture() {
  // The fixture ends when its input closes; the WineProcess kills it if it does not.
  process_.CloseInput();
}

bool Fixture::ReadReport() {
  std::optional<std::string> ids = process_.ReadLine(FixtureStartTimeout());
  std::optional<std::string> snapshot = process_.ReadLine(FixtureStartTimeout());
  std::istringstream head(ids.value_or(""));
  std::string word;
  head >> word >> pid_;
  std::string rest;
  std::getline(head, rest);
  bool understood = word == "pid" && ReadIdList(rest, "threads", &started_) && snapshot &&
                    ReadIdList(*snapshot, "snapshot", &snapshot_);
  std::optional<std::string> line;
  while (understood && (line = process_.ReadLine(FixtureStartTimeout())) && *line != "ready") {
    understood = ReadInventoryLine(*line);
  }
  if (!understood || !line || modules_.empty() || (int)started_.size() < 1 + threads_) {
    ADD_FAILURE() << "the fixture did not start as expected; it printed:\n" << process_.Output();
    return false;
  }
  return true;
}

// "module <base> <size> <path>" or "function <name> <address>", numbers in
// hexadecimal; "argument <tid> <address>", the address in hexadecimal; or
// "held <tid> <count>", "spinner <tid>" or "splitter <tid>" in decimal.
bool Fixture::ReadInventoryLine(const std::string& line) {
  std::istringstream in(line);
  std::string kind;
  in >> kind;
  if (kind == "held") {
    in >> held_.tid >> held_.suspendCount;
    return !in.fail();
  }
  if (kind == "spinner") {
    in >> spinner_;
    return !in.fail();
  }
  if (kind == "splitter") {
    in >> splitter_;
    return !in.fail();
  }
  if (kind == "argument") {
    unsigned tid = 0;
    in >> tid >> std::hex >> arguments_[tid];
    return !in.fail();
  }
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

uint64_t Fixture::ChainArgument(unsigned tid) const {
  auto found = arguments_.find(tid);
  return found == arguments_.end() ? 0 : found->second;
}

std::optional<std::string> Fixture::Ask(const std::string& request, const std::string& answer) {
  if (!process_.WriteInput(request + "\n")) {
    ADD_FAILURE() << "cannot write to the fixture";
    return std::nullopt;
  }
  auto deadline = std::chrono::steady_clock::now() + StateTimeout();
  while (std::optional<std::string> line = process_.ReadLine(Left(deadline))) {
    if (line->rfind(answer + " ", 0) == 0) return line->substr(answer.size() + 1);
  }
  ADD_FAILURE() << "the fixture did not answer \"" << request << "\"; it printed:\n" << process_.Output();
  return std::nullopt;
}

// "state <tid>:<suspended>:<beats> ..."
std::map<unsigned, WorkerState> Fixture::State() {
  std::map<unsigned, WorkerState> states;
  std::optional<std::string> answer = Ask("state", "state");
  if (!answer) return states;
  std::istringstream in(*answer);
  unsigned tid = 0;
  WorkerState state;
  char colon1 = 0, colon2 = 0;
  while (in >> tid >> colon1 >> state.suspendCount >> colon2 >> state.beats) states[tid] = state;
  if (!in.eof() || states.size() != (size_t)threads_) {
    ADD_FAILURE() << "the fixture did not report its workers' state; it printed:\n" << process_.Output();
    states.clear();
  }
  return states;
}

// "held <tid>:<suspended>"
long Fixture::HeldSuspendCount() {
  std::optional<std::string> answer = Ask("held", "held");
  std::istringstream in(answer.value_or(""));
  unsigned tid = 0;
  char colon = 0;
  long count = -1;
  if (!(in >> tid >> colon >> count) || tid != held_.tid) {
    ADD_FAILURE() << "no suspend count of the held thread " << held_.tid << " in [" << answer.value_or("") << "]";
    return -1;
  }
  return count;
}

// "resumed <tid>:<suspended before>"
long Fixture::Resume(unsigned tid) {
  std::optional<std::string> answer = Ask("resume " + std::to_string(tid), "resumed");
  std::istringstream in(answer.value_or(""));
  unsigned resumed = 0;
  char colon = 0;
  long count = -1;
  if (!(in >> resumed >> colon >> count) || resumed != tid) {
    ADD_FAILURE() << "the fixture did not resume " << tid << ": [" << answer.value_or("") << "]";
    return -1;
  }
  return count;
}

double Fixture::CpuSeconds() const {
  std::ifstream stat("/proc/" + std::to_string(process_.Pid()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The fields after the command's closing parenthesis; user and system
  // time are the 12th and 13th of them.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i == 12) user = std::stoull(field);
    if (i == 13) system = std::stoull(field);
  }
  if (!fields) return -1;
  return (double)(user + system) / (double)sysconf(_SC_CLK_TCK);
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
