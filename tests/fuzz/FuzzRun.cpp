#include "FuzzRun.h"

#include <cstdio>
#include <cstdlib>

#include "Leftovers.h"
#include "Run.h"

namespace {

const size_t kMostArguments = 16;

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz run ended unsoundly: %s\n", what);
  std::abort();
}

}  // namespace

std::vector<std::string> ArgumentsOf(const uint8_t* data, size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) {
      args.back() += (char)data[i];
    } else if (args.size() < kMostArguments) {
      args.emplace_back();
    }
  }
  if (size == 0) args.clear();
  return args;
}

sim::Machine FuzzMachine() {
  sim::Machine m;
  m.AddEvent("done");
  sim::Process& p = m.AddProcess(120, u"app.exe");
  sim::Module& app = p.AddModule(0x400000, 0x10000, "app.exe", "C:\\app\\app.exe");
  app.AddSymbol(0x401000, 0x100, "?Run@Worker@@QAEXXZ", "Worker::Run").AddLine(0x401000, "worker.cpp", 40);
  m.SetVersionResource("C:\\app\\app.exe", sim::VersionResource().FileVersion(1, 2, 3, 4));
  p.AddThread(10).AddFrame(0x401010, 1, 2, 3, 4).AddFrame(0);
  p.AddThread(20).AddFrame(0x402000).suspendCount = 1;
  p.locks.push_back(sim::Lock{0x12ff40, 0, 10, 1, 2, 3, 0, 0});
  p.locks.push_back(sim::Lock{0x13ff40, 7, 0, 0, 0, 0, 4, 5});
  m.AddProcess(4000, u"tool.exe").AddThread(4004);
  return m;
}

void RunAndCheck(sim::Machine& m, int (*entry)(int, char**), const char* program, const std::vector<std::string>& args,
                 const std::map<DWORD, int>& suspendCounts) {
  int status = sim::RunMainHere(m, entry, program, args);
  m.LoadBooks(m.SerializeBooks());
  Require(status == 0 || status == 1, "exit status other than 0 or 1");
  std::vector<std::string> left = Leftovers(m, {}, suspendCounts);
  Require(left.empty(), left.empty() ? "" : left.front().c_str());
}

void RunAndCheck(int (*entry)(int, char**), const char* program, const std::vector<std::string>& args) {
  sim::Machine m = FuzzMachine();
  RunAndCheck(m, entry, program, args, {{10, 0}, {20, 1}});
}

int DiscardReports() { return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1; }
