#include <gtest/gtest.h>

#include "ToolRuns.h"
#include "simwin_api.h"

namespace {

// A lock's address prints like any address of the report.
std::string Address(uint64_t value) { return Hex(value); }

// Process 120 with a critical section, a resource and a lock of an unknown
// type, the last with every counter at its limit.
sim::Machine LockedMachine() {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"app.exe");
  p.locks.push_back(sim::Lock{0x12ff40, 0, 20, 1, 2, 3, 0, 0});
  p.locks.push_back(sim::Lock{0x77fc0000, 1, 0, 0, 0, 0, 4, 5});
  p.locks.push_back(sim::Lock{0x8, 2, 0xfffffffe, 0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff});
  return m;
}

const std::string kLockLines =
    "# of locks: 3\n"
    "Address: " +
    Address(0x12ff40) +
    " Type: CRITICAL_SECTION Owner: 20 (0x14)\n"
    "  ContentionCount: 1 EntryCount: 2 RecursionCount: 3 SharedWaiters: 0 ExclusiveWaiters: 0\n"
    "Address: " +
    Address(0x77fc0000) +
    " Type: RESOURCE Owner: 0 (0x0)\n"
    "  ContentionCount: 0 EntryCount: 0 RecursionCount: 0 SharedWaiters: 4 ExclusiveWaiters: 5\n"
    "Address: " +
    Address(0x8) +
    " Type: Unknown lock type 2 Owner: -2 (0xfffffffe)\n"
    "  ContentionCount: 4294967295 EntryCount: 4294967295 RecursionCount: 4294967295 SharedWaiters: 4294967295"
    " ExclusiveWaiters: 4294967295\n";

TEST(LockReport, PrintsTwoLinesALockAndDestroysTheBuffer) {
  sim::Machine m = LockedMachine();
  sim::RunResult r = RunLatchsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kLatchBanner + kLockLines);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(m.CallArgs("RtlCreateQueryDebugBuffer"), std::vector<std::string>{"0,0"});
  EXPECT_EQ(m.CallArgs("RtlQueryProcessDebugInformation"), std::vector<std::string>{"120,0x20"});
  EXPECT_EQ(m.books().debugBuffers, 0);
  EXPECT_TRUE(m.books().misuses.empty());
}

TEST(LockReport, ManyLocksAndNone) {
  sim::Machine many;
  sim::Process& p = many.AddProcess(120, u"app.exe");
  for (DWORD i = 0; i < 5000; ++i) p.locks.push_back(sim::Lock{0x10000u + i * 0x40, 0, i, 0, 1, 0, 0, 0});
  sim::RunResult r = RunLatchsift(many, {"-p", "120"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("# of locks: 5000\n"), kLatchBanner.size());
  EXPECT_NE(r.out.find("Address: " + Address(0x10000 + 4999 * 0x40) +
                       " Type: CRITICAL_SECTION Owner: 4999 (0x1387)\n"
                       "  ContentionCount: 0 EntryCount: 1 RecursionCount: 0 SharedWaiters: 0 ExclusiveWaiters: 0\n"),
            std::string::npos);

  sim::Machine none;
  none.AddProcess(120, u"app.exe");
  r = RunLatchsift(none, {"-p", "120"});
  EXPECT_EQ(r.out, kLatchBanner + "# of locks: 0\n");
  EXPECT_EQ(r.status, 0);

  // A native layer whose buffer has no view (Wine's) and whose list lies
  // elsewhere: an empty list is reported, a list that counts locks is not read.
  sim::Machine noView;
  noView.AddProcess(120, u"app.exe");
  noView.debugBuffersWithoutView = true;
  r = RunLatchsift(noView, {"-p", "120"});
  EXPECT_EQ(r.out, kLatchBanner + "# of locks: 0\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(noView.books().debugBuffers, 0);
  p.locks.resize(3);
  many.debugBuffersWithoutView = true;
  r = RunLatchsift(many, {"-p", "120"});
  EXPECT_EQ(r.out,
            kLatchBanner + "RtlQueryProcessDebugInformation returned a lock list that does not fit its buffer\n");
  EXPECT_EQ(r.status, 1);
}

const std::string kUnfit = "RtlQueryProcessDebugInformation returned a lock list that does not fit its buffer\n";
const size_t kView = 4096;  // the buffer of a machine with a few locks

TEST(LockReport, ListThatEndsWithItsBufferIsPrintedWhole) {
  sim::Machine m = LockedMachine();
  m.FindProcess(120)->lockListAt = kView - (kWide ? 8 + 3 * 48 : 4 + 3 * 36);
  sim::RunResult r = RunLatchsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kLatchBanner + kLockLines);
  EXPECT_EQ(r.status, 0);
}

TEST(LockReport, EveryFailureEndsWithItsLineAndLeavesNoBuffer) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    std::string out;
    int buffersLeft;
  };
  const Case cases[] = {
      {"ntdll not loaded", [](sim::Machine& m) { m.RemoveModule("ntdll.dll"); }, "GetModuleHandle error 126\n", 0},
      {"create missing", [](sim::Machine& m) { m.RemoveEntry("ntdll", "RtlCreateQueryDebugBuffer"); },
       "GetProcAddress error 127\n", 0},
      {"query missing", [](sim::Machine& m) { m.RemoveEntry("ntdll", "RtlQueryProcessDebugInformation"); },
       "GetProcAddress error 127\n", 0},
      {"destroy missing", [](sim::Machine& m) { m.RemoveEntry("ntdll", "RtlDestroyQueryDebugBuffer"); },
       "GetProcAddress error 127\n", 0},
      // The native layer sets no last error: a null buffer is out of memory.
      {"buffer not created", [](sim::Machine& m) { m.Fail("RtlCreateQueryDebugBuffer", 0); },
       "RtlCreateQueryDebugBuffer error 8\n", 0},
      {"query fails", [](sim::Machine& m) { m.FailStatus("RtlQueryProcessDebugInformation", STATUS_ACCESS_DENIED); },
       "RtlQueryProcessDebugInformation error 5\n", 0},
      {"no lock list", [](sim::Machine& m) { m.FindProcess(120)->lockListMissing = true; },
       "RtlQueryProcessDebugInformation returned no lock list\n", 0},
      {"destroy fails", [](sim::Machine& m) { m.FailStatus("RtlDestroyQueryDebugBuffer", STATUS_INVALID_PARAMETER); },
       kLockLines + "RtlDestroyQueryDebugBuffer error 87\n", 1},
      {"list outside the buffer", [](sim::Machine& m) { m.FindProcess(120)->lockListOutside = true; }, kUnfit, 0},
      {"count far beyond the buffer", [](sim::Machine& m) { m.FindProcess(120)->lockCountShown = 0x71C71C72; }, kUnfit,
       0},
      {"count that ends past the buffer's end", [](sim::Machine& m) { m.FindProcess(120)->lockListAt = kView - 2; },
       kUnfit, 0},
      {"one lock more than ends inside the buffer",
       [](sim::Machine& m) {
         m.FindProcess(120)->lockListAt = kView - (kWide ? 8 + 3 * 48 : 4 + 3 * 36);
         m.FindProcess(120)->lockCountShown = 4;
       },
       kUnfit, 0},
  };
  for (const Case& c : cases) {
    sim::Machine m = LockedMachine();
    c.arrange(m);
    sim::RunResult r = RunLatchsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, kLatchBanner + c.out) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(m.books().debugBuffers, c.buffersLeft) << c.name;
    EXPECT_TRUE(m.books().misuses.empty()) << c.name;
  }
}

TEST(LockReport, ProcessIdGoesToTheQueryUnchecked) {
  sim::Machine m = LockedMachine();
  sim::RunResult r = RunLatchsift(m, {"-p", "-7"});
  EXPECT_EQ(r.out, kLatchBanner + "RtlQueryProcessDebugInformation error 87\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.CallArgs("RtlQueryProcessDebugInformation"), std::vector<std::string>{"4294967289,0x20"});
  EXPECT_EQ(m.books().debugBuffers, 0);
}

}  // namespace

#if defined(_WIN64)
// The query of a 32-bit process would start a thread inside it and list the
// locks of the platform's layer: the process is sent to the 32-bit build
// before anything is asked. Its main image's header says its width (the
// kernel's module listing is missing before Windows 7), or, when the header
// cannot be read, the platform.
TEST(LockReport, ThirtyTwoBitProcessIsSentToTheThirtyTwoBitBuildWithoutAQuery) {
  struct Row {
    const char* name;
    void (*arrange)(sim::Machine&);
    bool thirtyTwo;
  };
  const Row rows[] = {
      {"the header says so, on a system without the kernel's module listing",
       [](sim::Machine& m) { m.RemoveEntry("kernel32", "K32EnumProcessModules"); }, true},
      {"the header cannot be read, and the platform says so",
       [](sim::Machine& m) {
         m.FailFor("ReadProcessMemory", 0x40003c, ERROR_PARTIAL_COPY);
         m.FindProcess(120)->saysWow64 = true;
       },
       true},
      {"the header cannot be read, and the platform does not say so",
       [](sim::Machine& m) { m.FailFor("ReadProcessMemory", 0x40003c, ERROR_PARTIAL_COPY); }, false},
  };
  for (const Row& row : rows) {
    sim::Machine m = LockedMachine();
    sim::Process& p = *m.FindProcess(120);
    p.bits = 32;
    p.AddModule(0x400000, 0x10000, "app.exe", "C:\\app\\app.exe");
    row.arrange(m);
    sim::RunResult r = RunLatchsift(m, {"-p", "120"});
    int queries = row.thirtyTwo ? 0 : 1;
    EXPECT_EQ(m.CallCount("RtlCreateQueryDebugBuffer") + m.CallCount("RtlQueryProcessDebugInformation"), 2 * queries)
        << row.name;
    if (row.thirtyTwo) {
      EXPECT_EQ(r.out, kLatchBanner + "Process 120 is a 32-bit process: the 32-bit latchsift lists its locks\n")
          << row.name;
      EXPECT_EQ(r.status, 1) << row.name;
    }
    EXPECT_EQ(m.books().debugBuffers, 0) << row.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << row.name;
  }
}
#endif
