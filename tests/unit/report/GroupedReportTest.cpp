#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "JsonLines.h"
#include "Scenarios.h"
#include "ToolRuns.h"
#include "WaitLines.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Routines of system.dll, 0x100 bytes apart from 0x77e01000; a frame stands
// 0x10 into its routine.
const std::vector<std::string> kSystemRoutines = {
    "NtWaitForWorkViaWorkerFactory", "TppWorkerThread", "NtDelayExecution", "SleepEx", "NtUserGetMessage",
    "GetMessageW", "RtlSleepConditionVariableCS", "threadpool_worker_proc", "ReadConsoleW", "Sleep",
    "NtUserMsgWaitForMultipleObjectsEx", "MsgWaitForMultipleObjectsEx", "BaseThreadInitThunk"};

uint64_t At(const std::string& routine) {
  for (size_t i = 0; i < kSystemRoutines.size(); ++i) {
    if (kSystemRoutines[i] == routine) return 0x77e01010 + i * 0x100;
  }
  return 0x77f80000;  // ntdll.dll's system-call stub, no symbol
}

const uint64_t kWork = 0x403010;  // app.exe's Work
const uint64_t kMain = 0x402010;  // app.exe's main

sim::Thread& Stack(sim::Process& p, DWORD tid, const std::vector<uint64_t>& pcs) {
  sim::Thread& t = p.AddThread(tid);
  for (uint64_t pc : pcs) t.AddFrame(pc);
  return t;
}

// WaitMachine's process 120 with system.dll and app.exe's Work, and its
// threads: pool workers 10, 14 and 18 (14 and 18 named), a sleeper 20, a
// message loop 24, a thread at work 28 with a sleep deeper in its stack,
// two threads 32 and 36 waiting in the same frames on sections that 28 and
// 40 hold, and 40 and 44 waiting for each other's sections.
sim::Machine PoolMachine() {
  sim::Machine m = WaitMachine();
  sim::Process& p = *m.FindProcess(120);
  sim::Module& system = p.AddModule(0x77e00000, 0x100000, "system.dll", "C:\\WINNT\\system32\\system.dll");
  for (const std::string& routine : kSystemRoutines) system.AddSymbol(At(routine) - 0x10, 0x80, routine);
  for (sim::Module& module : p.modules) {
    if (module.baseName == "app.exe") module.AddSymbol(kWork - 0x10, 0x80, "Work");
  }
  for (DWORD tid : {10, 14, 18}) {
    Stack(p, tid, {At("NtWaitForWorkViaWorkerFactory"), At("TppWorkerThread"), At("BaseThreadInitThunk")});
  }
  p.FindThread(14)->description = u"Teller";
  p.FindThread(18)->description = u"Teller\nTwo";
  Stack(p, 20, {At("NtDelayExecution"), At("SleepEx"), kMain});
  Stack(p, 24, {At("NtUserGetMessage"), At("GetMessageW"), kMain});
  Stack(p, 28, {kWork, At("SleepEx"), kMain});
  SectionWaiter(p, 32, 0x420100);
  SectionWaiter(p, 36, 0x420200);
  SectionWaiter(p, 40, 0x420300);
  SectionWaiter(p, 44, 0x420400);
  p.AddSection(0x420100, 28, 1);
  p.AddSection(0x420200, 40, 1);
  p.AddSection(0x420300, 44, 1);
  p.AddSection(0x420400, 40, 1);
  return m;
}

// The report's lines from the first group on, each frame line cut to its
// routine ("?" without a symbol), so that the checks read in both widths.
std::string Skeleton(const std::string& out) {
  size_t from = out.find("\n\n", out.find("Path\n"));
  std::istringstream in(out.substr(from == std::string::npos ? 0 : from + 2));
  std::string line, text;
  while (std::getline(in, line)) {
    size_t equals = line.find(" = ");
    if (equals != std::string::npos) {
      size_t bang = line.find('!', equals), open = line.find('(', equals);
      // A frame without a symbol shows its address with no argument words.
      bool named = bang != std::string::npos && open != std::string::npos && line.compare(open, 2, "()") != 0;
      line = "  " + (named ? line.substr(bang + 1, open - bang - 1) : std::string("?"));
    }
    text += line + "\n";
  }
  return text;
}

const char kWaiterFrames[] = "  ?\n  RtlWaitOnAddress\n  RtlpWaitForCriticalSection\n  RtlEnterCriticalSection\n"
                             "  Lock\n  main\n";

// Each distinct stack once, busy groups first (most threads, then lowest
// id), idle ones last with their reason; every waiter's line under its
// group's frames; a name with a line break in it stays on its line.
TEST(GroupedReport, GroupsBusyStacksFirstAndIdleOnesLastWithTheirReason) {
  sim::Machine m = PoolMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-g", "-w"});
  EXPECT_EQ(r.status, 0);
  std::string expected =
      std::string("4 threads: 32 (0x20), 36 (0x24), 40 (0x28), 44 (0x2c)\n") + kWaiterFrames +
      "Thread 32 (0x20) waits for critical section 0x" + Hex(0x420100) + " held by thread 28 (0x1c)\n"
      "Thread 36 (0x24) waits for critical section 0x" + Hex(0x420200) + " held by thread 40 (0x28)\n"
      "Thread 40 (0x28) waits for critical section 0x" + Hex(0x420300) + " held by thread 44 (0x2c)\n"
      "Thread 44 (0x2c) waits for critical section 0x" + Hex(0x420400) + " held by thread 40 (0x28)\n"
      "\n"
      "1 thread: 28 (0x1c)\n  Work\n  SleepEx\n  main\n\n"
      "3 threads: 10 (0xa), 14 (0xe) \"Teller\", 18 (0x12) \"Teller?Two\" (idle: waiting for work in the thread pool)\n"
      "  NtWaitForWorkViaWorkerFactory\n  TppWorkerThread\n  BaseThreadInitThunk\n\n"
      "1 thread: 20 (0x14) (idle: sleeping)\n  NtDelayExecution\n  SleepEx\n  main\n\n"
      "1 thread: 24 (0x18) (idle: waiting for a message)\n  NtUserGetMessage\n  GetMessageW\n  main\n\n" +
      Deadlock({40, 44}) + "\n";
  EXPECT_EQ(Skeleton(r.out), expected) << r.out;
  // Without -g the report is as before: a name or an idle reason shows
  // nowhere.
  sim::Machine plain = PoolMachine();
  sim::RunResult without = RunThreadsift(plain, {"-p", "120", "-w"});
  EXPECT_THAT(without.out, Not(HasSubstr("Teller")));
  EXPECT_THAT(without.out, HasSubstr("\nThread 10 (0xa)\n"));
  EXPECT_EQ(plain.CallCount("GetThreadDescription"), 0);
}

// Whatever happens to a thread, it is in exactly one group: one whose walk
// failed or that ended before its walk stands alone, -t walks one thread,
// -c puts each thread's share on the group line.
TEST(GroupedReport, EveryListedThreadIsInExactlyOneGroup) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    void (*arrange)(sim::Machine&);
    std::vector<std::string> groupLines;
  };
  const Case cases[] = {
      {"a walk fails",
       {"-p", "120", "-g"},
       [](sim::Machine& m) { m.FailFor("GetThreadContext", 14, ERROR_ACCESS_DENIED); },
       {"4 threads: 32 (0x20), 36 (0x24), 40 (0x28), 44 (0x2c)", "1 thread: 14 (0xe) \"Teller\"",
        "1 thread: 28 (0x1c)", "2 threads: 10 (0xa), 18 (0x12) \"Teller?Two\" (idle: waiting for work in the thread pool)",
        "1 thread: 20 (0x14) (idle: sleeping)", "1 thread: 24 (0x18) (idle: waiting for a message)"}},
      {"a thread cannot be opened",
       {"-p", "120", "-g"},
       [](sim::Machine& m) { m.FailStatusFor("NtOpenThread", 20, STATUS_ACCESS_DENIED); },
       {"4 threads: 32 (0x20), 36 (0x24), 40 (0x28), 44 (0x2c)", "1 thread: 20 (0x14)", "1 thread: 28 (0x1c)",
        "3 threads: 10 (0xa), 14 (0xe) \"Teller\", 18 (0x12) \"Teller?Two\" (idle: waiting for work in the thread pool)",
        "1 thread: 24 (0x18) (idle: waiting for a message)"}},
      {"a thread ends as it is to be held",
       {"-p", "120", "-g"},
       [](sim::Machine& m) { m.FindProcess(120)->FindThread(10)->suspendsBeforeEnd = 0; },
       {"4 threads: 32 (0x20), 36 (0x24), 40 (0x28), 44 (0x2c)", "1 thread: 10 (0xa)", "1 thread: 28 (0x1c)",
        "2 threads: 14 (0xe) \"Teller\", 18 (0x12) \"Teller?Two\" (idle: waiting for work in the thread pool)",
        "1 thread: 20 (0x14) (idle: sleeping)", "1 thread: 24 (0x18) (idle: waiting for a message)"}},
      {"one thread selected", {"-p", "120", "-g", "-t", "18"}, [](sim::Machine&) {},
       {"1 thread: 18 (0x12) \"Teller?Two\" (idle: waiting for work in the thread pool)"}},
      {"figures",
       {"-p", "120", "-g", "-c", "500", "-t", "10"},
       [](sim::Machine& m) { m.FindProcess(120)->FindThread(10)->times = {{0, 0}, {0, 2500000}}; },
       {"1 thread: 10 (0xa) 50% (idle: waiting for work in the thread pool)"}},
      {"no name can be read",
       {"-p", "120", "-g", "-t", "14"},
       [](sim::Machine& m) { m.Fail("GetThreadDescription", ERROR_ACCESS_DENIED); },
       {"1 thread: 14 (0xe) (idle: waiting for work in the thread pool)"}},
      {"no name query on this system",
       {"-p", "120", "-g", "-t", "14"},
       [](sim::Machine& m) { m.RemoveEntry("kernel32", "GetThreadDescription"); },
       {"1 thread: 14 (0xe) (idle: waiting for work in the thread pool)"}},
  };
  for (const Case& c : cases) {
    sim::Machine m = PoolMachine();
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, c.args);
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
      if (line.find(" thread: ") != std::string::npos || line.find(" threads: ") != std::string::npos) {
        lines.push_back(line);
      }
    }
    EXPECT_EQ(lines, c.groupLines) << c.name << "\n" << r.out;
    EXPECT_THAT(r.out, Not(HasSubstr("\nThread 1"))) << c.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
  }
}

// A sweep groups each process's threads in its own report: the threads of
// the group lines are those the plain sweep walks, and all else is the same.
TEST(GroupedReport, SweepGroupsEachProcessApart) {
  sim::Machine plainMachine = ThreeProcesses();
  sim::RunResult plain = RunThreadsift(plainMachine, {"-p", "*"});
  sim::Machine groupedMachine = ThreeProcesses();
  sim::RunResult grouped = RunThreadsift(groupedMachine, {"-p", "*", "-g"});
  std::string walked, listed, plainRest, groupedRest;
  std::istringstream plainLines(plain.out), groupedLines(grouped.out);
  for (std::string line; std::getline(plainLines, line);) {
    if (line.rfind("Thread ", 0) == 0) {
      walked += line.substr(7) + ";";
    } else if (!line.empty()) {
      plainRest += line + "\n";
    }
  }
  for (std::string line; std::getline(groupedLines, line);) {
    if (line.find(" thread: ") != std::string::npos) {
      listed += line.substr(line.find(": ") + 2) + ";";
    } else if (!line.empty()) {
      groupedRest += line + "\n";
    }
  }
  EXPECT_EQ(listed, walked) << grouped.out;
  EXPECT_EQ(groupedRest, plainRest);
  EXPECT_EQ(grouped.status, plain.status);
}

// The idle reason comes from the innermost frames only, the platform's
// steps beneath the routine that waits, by routine name.
TEST(GroupedReport, IdleOnlyByTheInnermostFrames) {
  struct Row {
    std::vector<uint64_t> pcs;
    const char* reason;   // null: not idle
    uint64_t resume = 0;  // the return address the stub's stack word holds (a frame the walk missed)
  };
  const Row rows[] = {
      {{At("NtDelayExecution"), At("SleepEx"), kMain}, "sleeping"},
      {{At(""), kMain}, "sleeping", At("Sleep")},
      {{At(""), At("Sleep"), kMain}, "sleeping"},
      {{At(""), At("NtDelayExecution"), At("Sleep"), kMain}, "sleeping"},
      {{At("SleepEx"), kMain}, "sleeping"},
      {{kWork, At("SleepEx"), kMain}, nullptr},  // the program's code, without a symbol, that the sleep runs
      {{At(""), At(""), At("SleepEx"), kMain}, nullptr},
      {{At("NtDelayExecution"), kMain}, nullptr},
      {{At("NtDelayExecution"), At("GetMessageW"), kMain}, nullptr},
      {{At("NtUserGetMessage"), At("GetMessageW"), kMain}, "waiting for a message"},
      {{At("RtlSleepConditionVariableCS"), At("threadpool_worker_proc"), kMain}, "waiting for work in the thread pool"},
      {{At("RtlSleepConditionVariableCS"), kWork, At("threadpool_worker_proc")}, nullptr},
      {{At(""), kMain}, "waiting for console input", At("ReadConsoleW")},
      {{At("NtWaitForWorkViaWorkerFactory"), At("TppWorkerThread")}, "waiting for work in the thread pool"},
      {{At("NtWaitForWorkViaWorkerFactory"), At("NtWaitForWorkViaWorkerFactory"), At("NtWaitForWorkViaWorkerFactory"),
        At("NtWaitForWorkViaWorkerFactory"), At("NtWaitForWorkViaWorkerFactory"), At("NtWaitForWorkViaWorkerFactory"),
        At("NtWaitForWorkViaWorkerFactory"), At("TppWorkerThread")},
       nullptr},
  };
  for (const Row& row : rows) {
    sim::Machine m = WaitMachine();
    sim::Process& p = *m.FindProcess(120);
    sim::Module& system = p.AddModule(0x77e00000, 0x100000, "system.dll", "C:\\WINNT\\system32\\system.dll");
    for (const std::string& routine : kSystemRoutines) system.AddSymbol(At(routine) - 0x10, 0x80, routine);
    Stack(p, 10, row.pcs).stack.pinned[0] = row.resume;
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-g"});
    std::string line = row.reason != nullptr ? std::string("1 thread: 10 (0xa) (idle: ") + row.reason + ")\n"
                                             : std::string("1 thread: 10 (0xa)\n");
    EXPECT_THAT(r.out, HasSubstr(line)) << &row - rows << "\n" << Skeleton(r.out);
  }
}

// -j gives each thread its name and idle reason, -g adds the groups in the
// text's order; -g cannot sample.
TEST(GroupedReport, JsonCarriesNamesIdleReasonsAndGroups) {
  sim::Machine m = PoolMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-j"});
  EXPECT_THAT(r.out, HasSubstr("{\"thread_id\":14,\"name\":\"Teller\",\"frames\":"));
  EXPECT_THAT(r.out, HasSubstr("{\"thread_id\":18,\"name\":\"Teller\\nTwo\",\"frames\":"));
  EXPECT_THAT(r.out, HasSubstr("],\"idle\":\"sleeping\"}"));
  EXPECT_THAT(r.out, Not(HasSubstr("\"groups\"")));
  sim::Machine grouped = PoolMachine();
  r = RunThreadsift(grouped, {"-p", "120", "-j", "-g"});
  EXPECT_THAT(r.out, HasSubstr(",\"groups\":[[32,36,40,44],[28],[10,14,18],[20],[24]]"));
  sim::Machine sampled = PoolMachine();
  r = RunThreadsift(sampled, {"-p", "120", "-g", "-s", "3"});
  EXPECT_THAT(r.out, HasSubstr("Option -g cannot be used with -s."));
  EXPECT_NE(r.status, 0);
}

// A name longer than the tool keeps is cut; one with an unpaired surrogate
// has it replaced.
TEST(GroupedReport, NamesAreBoundedAndRepaired) {
  sim::Machine m = PoolMachine();
  sim::Process& p = *m.FindProcess(120);
  p.FindThread(10)->description = std::u16string(300, u'x');
  p.FindThread(14)->description = std::u16string(u"A") + (char16_t)0xD800 + u"B";
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-j"});
  EXPECT_THAT(r.out, HasSubstr("{\"thread_id\":10,\"name\":\"" + std::string(256, 'x') + "\",\"frames\":"));
  EXPECT_THAT(r.out, HasSubstr("{\"thread_id\":14,\"name\":\"A\xEF\xBF\xBD" "B\",\"frames\":"));
  EXPECT_EQ(m.LiveAllocationCount(), 0);
}

// A group shows the frames of its lowest id, whichever the snapshot lists
// first: their argument words may differ.
TEST(GroupedReport, AGroupShowsTheFramesOfItsLowestId) {
  sim::Machine m = WaitMachine();
  sim::Process& p = *m.FindProcess(120);
  for (DWORD tid : {50, 46, 54}) p.AddThread(tid).AddFrame(kMain, tid);
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-g"});
  EXPECT_THAT(r.out, HasSubstr("3 threads: 46 (0x2e), 50 (0x32), 54 (0x36)\n" + Hex(kMain) +
                               " =      app.exe!main(" + Hex(46) + ","));
  EXPECT_EQ(r.out.find("main(" + Hex(50)), std::string::npos);
}

// Ten thousand threads in ten stacks make ten groups of a thousand.
TEST(GroupedReport, ThousandsOfThreadsOfOneStackMakeOneGroup) {
  sim::Machine m = WaitMachine();
  sim::Process& p = *m.FindProcess(120);
  sim::Module& system = p.AddModule(0x77e00000, 0x100000, "system.dll", "C:\\WINNT\\system32\\system.dll");
  for (const std::string& routine : kSystemRoutines) system.AddSymbol(At(routine) - 0x10, 0x80, routine);
  for (DWORD i = 0; i < 10000; ++i) Stack(p, 100 + 4 * i, {At(kSystemRoutines[i % 10]), kMain});
  sim::RunResult r = RunThreadsift(m, {"-p", "120", "-g"});
  std::istringstream in(r.out);
  std::string line;
  std::vector<size_t> sizes;
  size_t ids = 0;
  while (std::getline(in, line)) {
    if (line.find(" threads: ") == std::string::npos) continue;
    sizes.push_back(std::stoul(line));
    for (size_t at = line.find("(0x"); at != std::string::npos; at = line.find("(0x", at + 1)) ++ids;
  }
  EXPECT_EQ(sizes, std::vector<size_t>(10, 1000));
  EXPECT_EQ(ids, 10000u);
}

}  // namespace
