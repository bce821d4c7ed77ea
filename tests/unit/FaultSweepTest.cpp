// Runs a reference scenario once cleanly, then once for every platform call
// of that run with that one call failing, and checks that every run ends
// as the tool promises: status 0 or 1 with an error line for 1, no crash,
// every thread's suspend count as it was, and no handle, heap block, symbol
// session, console handler or debug buffer left behind.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <set>

#include "Invariants.h"
#include "JsonLines.h"
#include "ToolRuns.h"
#include "simwin_api.h"

namespace {

struct Injection {
  std::string op;
  int nth;
};

// Every (operation, n-th call) of a run, in the order the run made them.
std::vector<Injection> CallsOf(const sim::Machine& m) {
  std::vector<Injection> calls;
  std::map<std::string, int> seen;
  for (const std::string& op : m.CallSequence()) calls.push_back(Injection{op, ++seen[op]});
  return calls;
}

// A failure the platform could really give for the operation.
void Inject(sim::Machine& m, const Injection& at) {
  static const std::map<std::string, NTSTATUS> kStatuses = {
      {"NtQuerySystemInformation", STATUS_ACCESS_DENIED},
      {"NtOpenThread", STATUS_INVALID_CID},
      {"RtlQueryProcessDebugInformation", STATUS_ACCESS_DENIED},
      {"RtlDestroyQueryDebugBuffer", STATUS_INVALID_PARAMETER},
  };
  static const std::map<std::string, DWORD> kErrors = {
      {"GetModuleHandleA", ERROR_MOD_NOT_FOUND},
      {"GetProcAddress", ERROR_PROC_NOT_FOUND},
      {"malloc", 0},
      {"calloc", 0},
      {"CloseHandle", ERROR_INVALID_HANDLE},
      {"RtlCreateQueryDebugBuffer", ERROR_NOT_ENOUGH_MEMORY},
  };
  auto status = kStatuses.find(at.op);
  if (status != kStatuses.end()) {
    m.FailStatus(at.op, status->second, at.nth);
    return;
  }
  auto error = kErrors.find(at.op);
  m.Fail(at.op, error != kErrors.end() ? error->second : ERROR_ACCESS_DENIED, at.nth);
}

template <typename MakeMachine, typename RunTool>
int SweepFaults(MakeMachine make, RunTool run) {
  sim::Machine clean = make();
  sim::RunResult reference = run(clean);
  EXPECT_EQ(reference.status, 0) << reference.out;
  std::map<DWORD, int> suspendCounts = clean.books().suspendCounts;
  int injected = 0;
  for (const Injection& at : CallsOf(clean)) {
    sim::Machine m = make();
    Inject(m, at);
    sim::RunResult r = run(m);
    ExpectSoundEnd(m, r, at.op + " #" + std::to_string(at.nth), {at.op}, suspendCounts);
    ++injected;
  }
  return injected;
}

// Three processes: modules with and without version resources, symbols and
// lines, and a thread another party holds suspended.
sim::Machine SweepScenario() {
  sim::Machine m;
  m.AddEvent("done");
  sim::Process& app = m.AddProcess(120, u"app.exe");
  sim::Module& exe = app.AddModule(0x400000, 0x10000, "app.exe", "C:\\app\\app.exe");
  exe.AddSymbol(0x401000, 0x100, "?Run@Worker@@QAEXXZ", "Worker::Run").AddLine(0x401000, "worker.cpp", 40);
  app.AddModule(0x77f00000, 0x100000, "kernel32.dll", "C:\\WINNT\\system32\\kernel32.dll")
      .AddSymbol(0x77f8abb3, 0x40, "WaitForSingleObjectEx");
  m.SetVersionResource("C:\\app\\app.exe",
                       sim::VersionResource()
                           .FileVersion(1, 2, 3, 4)
                           .ProductVersion(3, 2, 7)
                           .String("\\StringFileInfo\\040904E4\\CompanyName", "Vantorel Products Inc.")
                           .String("\\StringFileInfo\\040904E4\\FileVersion", "15"));
  m.SetVersionResource("C:\\WINNT\\system32\\kernel32.dll", sim::VersionResource().FileVersion(4, 0, 1381, 1));
  app.AddThread(10).AddFrame(0x77f8abcd, 1, 2, 3, 4).AddFrame(0x401010).AddFrame(0);
  app.AddThread(20).AddFrame(0x401000);
  app.AddThread(30).AddFrame(0x401020).suspendCount = 1;
  sim::Process& svc = m.AddProcess(300, u"svc.exe");
  svc.AddModule(0x1000000, 0x2000, "svc.exe", "C:\\svc.exe");
  svc.AddThread(40).AddFrame(0x1000100);
  m.AddUnnamedProcess(8).AddThread(50);
  AddSelf(m);
  return m;
}

TEST(FaultSweep, ThreadsiftSurvivesEveryPlatformCallFailing) {
  int injected = SweepFaults(SweepScenario, [](sim::Machine& m) {
    return RunThreadsift(m, {"-p", "*", "-e", "done"});
  });
  std::cout << "threadsift: " << injected << " faults injected\n";
  EXPECT_GT(injected, 100);
}

// Whatever call fails, the -j report carries what the text report says of
// it: the failure's step and code in its process or thread, and all else.
TEST(FaultSweep, JsonReportSaysWhatTheTextSaysWhicheverCallFails) {
  const std::vector<std::string> args = {"-p", "*", "-e", "done"};
  sim::Machine clean = SweepScenario();
  RunThreadsift(clean, args);
  for (const Injection& at : CallsOf(clean)) {
    sim::Machine textMachine = SweepScenario();
    Inject(textMachine, at);
    sim::RunResult text = RunThreadsift(textMachine, args);
    sim::Machine jsonMachine = SweepScenario();
    Inject(jsonMachine, at);
    sim::RunResult json = RunThreadsift(jsonMachine, {"-j", "-p", "*", "-e", "done"});
    std::string where = at.op + " #" + std::to_string(at.nth);
    EXPECT_EQ(CompareJsonWithText(json.out, text.out), "") << where << "\n" << json.out << "\n" << text.out;
    EXPECT_EQ(json.status, text.status) << where;
  }
}

TEST(FaultSweep, ThreadsiftSamplingSurvivesEveryPlatformCallFailing) {
  int injected = SweepFaults(SweepScenario, [](sim::Machine& m) {
    return RunThreadsift(m, {"-p", "120", "-s", "3", "-e", "done"});
  });
  std::cout << "threadsift -s: " << injected << " faults injected\n";
  EXPECT_GT(injected, 50);
}

TEST(FaultSweep, LatchsiftSurvivesEveryPlatformCallFailing) {
  auto make = []() {
    sim::Machine m;
    sim::Process& p = m.AddProcess(120, u"app.exe");
    for (DWORD i = 0; i < 4; ++i) p.locks.push_back(sim::Lock{0x10000u + i * 0x40, (WORD)i, i, i, i, i, i, i});
    return m;
  };
  int injected = SweepFaults(make, [](sim::Machine& m) { return RunLatchsift(m, {"-p", "120"}); });
  std::cout << "latchsift: " << injected << " faults injected\n";
  EXPECT_GT(injected, 10);
}

}  // namespace
