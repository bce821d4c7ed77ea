// The -j report: each process's report as one JSON line, which must say
// exactly what the text report of the same machine says.
#include <gtest/gtest.h>

#include "JsonLines.h"
#include "Run.h"
#include "Scenarios.h"
#include "ToolRuns.h"
#include "simwin_api.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "threadsift/report/ReportSink.h"

namespace {

using Json = nlohmann::ordered_json;

// Process 120 whose name, module names, paths, symbols and source files
// hold quotes, backslashes, control characters, bytes that are not UTF-8
// (the ANSI code page's letters) and a 4,000-character symbol.
sim::Machine OddNamesMachine() {
  sim::Machine m;
  m.SetComputerName("BOX\"\\\x01\xe9");
  m.AddProcess(120, u"quo\"te\\back\u00e9\U0001F600\xD800\t.exe");
  sim::Process& p = *m.FindProcess(120);
  sim::Module& odd =
      p.AddModule(0x400000, 0x10000, "odd\"\\\xff\xfe.dll", "C:\\dir \"q\"\\tab\tnl\nctl\x01\x1f\\caf\xe9.dll");
  odd.AddSymbol(0x401000, 0x100, "?Odd@@YAXXZ", "void \"Odd\"(char const *\\,\x7f\xc3\x28)")
      .AddLine(0x401000, "C:\\src\\\"x\"\x02\xff.cpp", 7);
  odd.AddSymbol(0x402000, 0x100, std::string(4000, 'L'));
  m.SetVersionResource(odd.path, sim::VersionResource()
                                     .ProductVersion(1, 2, 3)
                                     .String("\\StringFileInfo\\040904E4\\CompanyName", "Vantorel Products Inc.")
                                     .String("\\StringFileInfo\\040904E4\\FileVersion", "\"\xe9\x01"));
  p.AddThread(10).AddFrame(0x401010, 1, 2, 3, 4).AddFrame(0x402000).AddFrame(0x403000);
  AddSelf(m);
  return m;
}

struct Scenario {
  const char* name;
  sim::Machine (*make)();
  std::vector<std::string> args;
};

// Machines of the other tests, and some of their failures.
const Scenario kScenarios[] = {
    {"frames of every kind", StackMachine, {"-p", "120"}},
    {"one thread selected", StackMachine, {"-p", "120", "-t", "20"}},
    {"undecoration fails in a frame",
     [] {
       sim::Machine m = StackMachine();
       m.Fail("UnDecorateSymbolName", ERROR_INVALID_PARAMETER, 3);
       return m;
     },
     {"-p", "120"}},
    {"threads that cannot be opened, held, read or resumed",
     [] {
       sim::Machine m = StackMachine();
       m.FailStatusFor("NtOpenThread", 10, STATUS_INVALID_CID);
       m.Fail("GetThreadContext", ERROR_ACCESS_DENIED, 1);
       m.Fail("ResumeThread", ERROR_INVALID_HANDLE, 2);
       return m;
     },
     {"-p", "120"}},
    {"module listing fails",
     [] {
       sim::Machine m = StackMachine();
       m.Fail("GetModuleInformation", ERROR_PARTIAL_COPY, 2);
       return m;
     },
     {"-p", "120"}},
    {"modules cannot be listed",
     [] {
       sim::Machine m = StackMachine();
       m.Fail("EnumProcessModules", ERROR_PARTIAL_COPY);
       return m;
     },
     {"-p", "120"}},
    {"symbol handler cannot be ended",
     [] {
       sim::Machine m = StackMachine();
       m.Fail("SymCleanup", ERROR_ACCESS_DENIED);
       return m;
     },
     {"-p", "120", "-e", "absent"}},
    {"sweep",
     [] {
       sim::Machine m = ThreeProcesses();
       m.SetProcessIds({0, 8, 120, 300});
       return m;
     },
     {"-p", "*"}},
    {"sweep whose processes end while it walks them",
     [] {
       sim::Machine m = ThreeProcesses();
       m.SetProcessIds({8, 120, 300, 4000});
       m.FindProcess(120)->inSnapshot = false;
       m.FailStatusFor("NtOpenThread", 3001, STATUS_INVALID_CID);
       m.FailStatusFor("NtOpenThread", 3002, STATUS_INVALID_CID);
       m.FailFor("OpenProcess", 8, ERROR_INVALID_PARAMETER);
       return m;
     },
     {"-p", "*"}},
    {"break key in the middle of a sweep",
     [] {
       sim::Machine m = ThreeProcesses();
       m.SetProcessIds({8, 120, 300, 4000});
       m.RaiseCtrlEventAtCall("SuspendThread", 3);
       return m;
     },
     {"-p", "*"}},
    {"sweep of processes that share modules", SharedModulesMachine, {"-p", "*"}},
    {"busy threads", BusyMachine, {"-p", "120", "-c", "500"}},
    {"second snapshot fails",
     [] {
       sim::Machine m = BusyMachine();
       m.FailStatus("NtQuerySystemInformation", STATUS_ACCESS_DENIED, 2);
       return m;
     },
     {"-p", "120", "-c", "500"}},
    {"deadlock", CycleMachine, {"-p", "120", "-w"}},
    {"waits of one thread", CycleMachine, {"-p", "120", "-w", "-t", "20"}},
    {"waits on handles", HandleWaitMachine, {"-p", "120", "-w"}},
    {"waits of modern code", ModernWaitMachine, {"-p", "120", "-w"}},
    {"odd names", OddNamesMachine, {"-p", "120"}},
    {"snapshot past its limit",
     [] {
       sim::Machine m = AppMachine();
       m.SetSnapshotSize(0x1000001);
       return m;
     },
     {"-p", "120"}},
    {"no memory for the thread list",
     [] {
       sim::Machine m = AppMachine();
       m.FailAllocationAfter("NtQuerySystemInformation", 3 * sizeof(ThreadRecord));
       return m;
     },
     {"-p", "120"}},
    {"the tool's own process", AppMachine, {"-p", "4000"}},
    {"computer name cannot be had",
     [] {
       sim::Machine m = AppMachine();
       m.Fail("GetComputerNameA", ERROR_ACCESS_DENIED);
       return m;
     },
     {"-p", "120"}},
    {"privilege cannot be looked up",
     [] {
       sim::Machine m = AppMachine();
       m.Fail("LookupPrivilegeValueA", ERROR_NO_SUCH_PRIVILEGE);
       return m;
     },
     {"-p", "*"}},
};

TEST(JsonReport, EveryLineSaysWhatTheTextReportOfTheSameMachineSays) {
  for (const Scenario& s : kScenarios) {
    sim::Machine textMachine = s.make();
    sim::RunResult text = RunThreadsift(textMachine, s.args);
    std::vector<std::string> args = s.args;
    args.insert(args.begin(), "-j");
    sim::Machine jsonMachine = s.make();
    sim::RunResult json = RunThreadsift(jsonMachine, args);
    EXPECT_EQ(CompareJsonWithText(json.out, text.out), "") << s.name << "\n" << json.out << "\n" << text.out;
    EXPECT_EQ(json.status, text.status) << s.name;
    EXPECT_EQ(jsonMachine.OpenHandleCount(), 0) << s.name;
    EXPECT_EQ(jsonMachine.LiveAllocationCount(), 0) << s.name;
  }
}

// The comparison above reads the text back; here the fields themselves.
TEST(JsonReport, TargetTextIsCarriedAsUtf8FromTheAnsiCodePage) {
  sim::Machine m = OddNamesMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-j"});
  std::vector<Json> lines;
  std::string problem;
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem;
  ASSERT_EQ(lines.size(), 1u);
  const Json& p = lines[0];
  EXPECT_EQ(p["computer"], "BOX\"\\\x01\xc3\xa9");
  EXPECT_EQ(p["image"], "quo\"te\\back\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbd\t.exe");
  EXPECT_EQ(p["modules"][0]["filename"], "C:\\dir \"q\"\\tab\tnl\nctl\x01\x1f\\caf\xc3\xa9.dll");
  EXPECT_EQ(p["modules"][0]["version"], "1.2.3.\"\xc3\xa9\x01");
  const Json& frames = p["threads"][0]["frames"];
  EXPECT_EQ(frames[0]["module"], "odd\"\\\xc3\xbf\xc3\xbe.dll");
  EXPECT_EQ(frames[0]["file"], "C:\\src\\\"x\"\x02\xc3\xbf.cpp");
  EXPECT_EQ(frames[1]["function"], std::string(4000, 'L'));
  // Control characters travel escaped: the line itself holds none.
  EXPECT_EQ(r.out.find_first_of("\x01\x02\x1f\t"), std::string::npos);
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);

  // Text the platform cannot convert keeps its bytes, and those that are
  // not UTF-8 are replaced.
  sim::Machine unconverted = OddNamesMachine();
  unconverted.Fail("MultiByteToWideChar", ERROR_INVALID_PARAMETER);
  r = RunThreadsift(unconverted, {"-p", "120", "-j"});
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem;
  EXPECT_EQ(lines[0]["modules"][0]["filename"], "C:\\dir \"q\"\\tab\tnl\nctl\x01\x1f\\caf\xef\xbf\xbd.dll");
  EXPECT_EQ(lines[0]["threads"][0]["frames"][0]["function"], "void \"Odd\"(char const *\\,\x7f\xef\xbf\xbd()");
  EXPECT_EQ(r.status, 0);
}

// What the text shows by its layout alone, and so the comparison with it
// cannot check: which frame a failure belongs to, an ended thread's share,
// and the cycles of a report that does not hold every thread.
TEST(JsonReport, MembersTheTextShowsOnlyByItsLayout) {
  // Thread 10's one frame cannot be named, and the thread cannot be resumed.
  sim::Machine m = StackMachine();
  m.Fail("UnDecorateSymbolName", ERROR_INVALID_PARAMETER, 1);
  m.FailFor("ResumeThread", 10, ERROR_INVALID_HANDLE);
  sim::RunResult r = RunThreadsift(m, {"-j", "-p", "120", "-t", "10"});
  std::vector<Json> lines;
  std::string problem;
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem;
  const Json& errors = lines.at(0)["threads"][0]["errors"];
  ASSERT_EQ(errors.size(), 3u) << errors.dump();
  EXPECT_EQ(errors[0]["step"], "UnDecorateSymbolName");
  EXPECT_EQ(errors[0]["frame"], 0);
  for (size_t i : {1u, 2u}) EXPECT_FALSE(errors[i].contains("frame")) << errors[i].dump();

  sim::Machine busy = BusyMachine();
  r = RunThreadsift(busy, {"-j", "-p", "120", "-c", "500"});
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem;
  int ended = 0;
  for (const Json& thread : lines.at(0)["threads"]) {
    if (!thread["ended"].get<bool>()) continue;
    ++ended;
    EXPECT_TRUE(thread["busy_percent"].is_null()) << thread.dump();
  }
  EXPECT_GT(ended, 0);

  sim::Machine cycle = CycleMachine();
  r = RunThreadsift(cycle, {"-j", "-w", "-p", "120", "-t", "20"});
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem;
  EXPECT_FALSE(lines.at(0).contains("deadlocks"));
  // A process of the tool's own width: its width goes without saying.
  EXPECT_FALSE(lines.at(0).contains("process_width"));
}

}  // namespace

namespace {

// A member that is there only once said keeps the place it was said in:
// a failure before the width puts the errors first, and one after, last.
TEST(JsonReport, MembersSaidLateKeepTheOrderTheyWereSaidIn) {
  const ProcessWidth other = kToolWidth == Width64 ? Width32 : Width64;
  for (bool failureFirst : {true, false}) {
    sim::Machine m;
    std::string out = sim::RunInChild(m, [failureFirst, other]() {
                        ReportSink report(true, "1");
                        report.BeginProcess(7);
                        if (failureFirst) report.Failure("Probe", 5);
                        report.ProcessWidthIs(other);
                        if (!failureFirst) report.Failure("Probe", 5);
                        report.EndProcess(false);
                        return 0;
                      })
                          .out;
    size_t errors = out.find("\"errors\""), width = out.find("\"process_width\"");
    ASSERT_NE(errors, std::string::npos);
    ASSERT_NE(width, std::string::npos);
    EXPECT_EQ(errors < width, failureFirst) << out;
  }
}

}  // namespace
