#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Scenarios.h"
#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

// Processes 8, 120 and 300 with the threads 8x, 120x and 300x, then the tool.
sim::Machine ThreeProcesses() {
  sim::Machine m;
  m.AddProcess(8, u"System").AddThread(81);
  sim::Process& app = m.AddProcess(120, u"app.exe");
  for (DWORD tid : {1201u, 1202u, 1203u}) app.AddThread(tid);
  sim::Process& svc = m.AddProcess(300, u"svc.exe");
  svc.AddThread(3001);
  svc.AddThread(3002);
  AddSelf(m);
  return m;
}

// Four processes with frames in every module they load: kernel32 at one
// base in all of them; an image of its own in each at one base; helper.dll
// at one base in 100 and 300 and another in 200; plugin.dll rebuilt on disk
// (another time stamp, other symbols) between 100 and 400; ext.dll of
// another size in 100 and 200; and only.dll in 300 alone. Process 400 has a frame where the others have helper.dll.
sim::Machine SharedModulesMachine() {
  sim::Machine m;
  for (DWORD pid : {100u, 200u, 300u, 400u}) {
    sim::Process& p = m.AddProcess(pid, u"app.exe");
    p.AddModule(0x77f00000, 0x100000, "kernel32.dll", "C:\\WINNT\\system32\\kernel32.dll")
        .AddSymbol(0x77f8abb3, 0x40, "WaitForSingleObjectEx")
        .AddLine(0x77f8abb3, "wait.c", 12);
    std::string own = "C:\\app" + std::to_string(pid) + "\\app.exe";
    p.AddModule(0x400000, 0x10000, "app.exe", own).AddSymbol(0x401000, 0x100, "main" + std::to_string(pid));
    sim::Thread& t = p.AddThread(pid + 1).AddFrame(0x77f8abc0, 1, 2, 3, 4).AddFrame(0x401010);
    uint64_t helper = pid == 200 ? 0x20000000 : 0x10000000;
    if (pid != 400) {
      p.AddModule(helper, 0x8000, "helper.dll", "C:\\app\\helper.dll").AddSymbol(helper + 0x100, 0x20, "Help");
      t.AddFrame(helper + 0x110);
    }
    if (pid == 100 || pid == 400) {
      sim::Module& plugin = p.AddModule(0x30000000, 0x4000, "plugin.dll", "C:\\app\\plugin.dll");
      plugin.AddSymbol(0x30000200, 0x20, pid == 100 ? "OldPlug" : "NewPlug");
      plugin.timeStamp = pid == 100 ? 0x3A000000 : 0x3B000000;
      t.AddFrame(0x30000210);
    }
    if (pid == 400) t.AddFrame(0x10000110);  // where the others have helper.dll
    if (pid == 100 || pid == 200) {
      p.AddModule(0x60000000, pid == 100 ? 0x2000 : 0x3000, "ext.dll", "C:\\app\\ext.dll")
          .AddSymbol(0x60000100, 0x10, "Ext");
      t.AddFrame(0x60000104);
    }
    if (pid == 300) {
      p.AddModule(0x50000000, 0x1000, "only.dll", "C:\\app\\only.dll").AddSymbol(0x50000100, 0x10, "Only");
      t.AddFrame(0x50000104);
    }
  }
  m.SetVersionResource("C:\\WINNT\\system32\\kernel32.dll", sim::VersionResource().FileVersion(5, 0, 2195, 6824));
  m.SetVersionResource("C:\\app\\helper.dll", sim::VersionResource().FileVersion(1, 2, 3, 4));
  AddSelf(m);
  return m;
}

namespace {

const std::string kReport8 = ProcessReport("Process 8 (0x8)  System 1 thread(s)", {81});
const std::string kReport120 = ProcessReport("Process 120 (0x78)  app.exe 3 thread(s)", {1201, 1202, 1203});
const std::string kReport300 = ProcessReport("Process 300 (0x12c)  svc.exe 2 thread(s)", {3001, 3002});

TEST(Sweep, SeparatesProcessesAndCountsEveryIdDelivered) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({0, 8, 120, 300});
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + kReport300 +
                       "4 process(es) found\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(m.CallArgs("OpenProcess"), ElementsAre("0x1f0fff,0,8", "0x1f0fff,0,120", "0x1f0fff,0,300"));
  EXPECT_EQ(m.OpenHandleCount(), 0);
  EXPECT_EQ(m.LiveAllocationCount(), 0);
}

TEST(Sweep, WalksEveryThreadOfEveryProcessWhateverThreadIsNamed) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300});
  sim::RunResult r = RunThreadsift(m, {"-p", "*", "-t", "1202"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + kReport300 +
                       "3 process(es) found\n");
  EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("81", "1201", "1202", "1203", "3001", "3002"));
}

TEST(Sweep, IdZeroLastLeavesTheLastSeparatorBeforeTheCount) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 0});
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + "3 process(es) found\n");
}

TEST(Sweep, EveryProcessOfTheSnapshotIsWalkedTheToolsOwnAndTheNewestToo) {
  sim::Machine m = ThreeProcesses();
  m.AddProcess(500, u"conhost.exe").AddThread(5001);  // started after the tool
  m.SetProcessIds({8, 4000, 120, 500});
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + ProcessReport(kSelfHeader, {4004}) + kSeparator +
                       kReport120 + kSeparator + ProcessReport("Process 500 (0x1f4)  conhost.exe 1 thread(s)", {5001}) +
                       "4 process(es) found\n");
  EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("81", "1201", "1202", "1203", "5001"));
}

TEST(Sweep, ProcessThatFailsShowsItsLinesInItsPlaceAndTheSweepGoesOn) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300, 4000});
  m.FailFor("OpenProcess", 120, ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + "OpenProcess error 5\n" + kSeparator + kReport300 +
                       kSeparator + ProcessReport(kSelfHeader, {4004}) + "4 process(es) found\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Sweep, FailsOnlyWhenTheProcessIdsCannotBeHad) {
  sim::Machine m = ThreeProcesses();
  m.Fail("EnumProcesses", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "EnumProcesses error 5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.CallCount("OpenProcess"), 0);
}

TEST(Sweep, IdBufferGrowsUntilEveryProcessFits) {
  sim::Machine m = ThreeProcesses();
  std::vector<DWORD> ids;
  for (DWORD pid = 1; pid <= 2500; ++pid) ids.push_back(pid);
  m.SetProcessIds(ids);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_THAT(r.out, EndsWith(kSeparator + "OpenProcess error 87\n2500 process(es) found\n"));
  EXPECT_THAT(m.CallArgs("EnumProcesses"), ElementsAre("4096", "8192", "16384"));
  EXPECT_EQ(m.CallCount("OpenProcess"), 2500);
  EXPECT_EQ(m.OpenHandleCount(), 0);

  // Exactly 1024 ids fill the first buffer, so one more call makes sure.
  sim::Machine full = ThreeProcesses();
  full.SetProcessIds(std::vector<DWORD>(ids.begin(), ids.begin() + 1024));
  r = RunThreadsift(full, {"-p", "*"});
  EXPECT_THAT(r.out, EndsWith("1024 process(es) found\n"));
  EXPECT_THAT(full.CallArgs("EnumProcesses"), ElementsAre("4096", "8192"));
}

TEST(Sweep, AfterAnInterruptNoFurtherProcessIsWalked) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300, 4000});
  m.RaiseCtrlEventAfterOutput("Thread 1201 (0x4b1)\n");
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator +
                       ProcessReport("Process 120 (0x78)  app.exe 3 thread(s)", {1201}) +
                       "4 process(es) found\n\n* Interrupt *\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(m.CallArgs("OpenProcess"), ElementsAre("0x1f0fff,0,8", "0x1f0fff,0,120"));
  EXPECT_THAT(m.CallArgs("SuspendThread"), ElementsAre("81", "1201"));
  EXPECT_EQ(m.CallCount("SetConsoleCtrlHandler"), 4);
  EXPECT_EQ(m.books().ctrlHandlers, 0);
}

// A sweep lists its processes from one snapshot until that is a second old
// or lacks the process in hand: the report stays the same, the snapshots
// (native calls here) are fewer.
TEST(Sweep, OneSnapshotServesTheProcessesUntilItIsOldOrLacksOne) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    int snapshots;
  };
  const Case cases[] = {
      {"machine that does not change", [](sim::Machine&) {}, 1},
      {"a clock 0.6 s on at each reading", [](sim::Machine& m) { m.performanceCounterStep = 600000; }, 2},
      {"no clock to tell its age", [](sim::Machine& m) { m.Fail("QueryPerformanceCounter", 1); }, 3},
      {"a process that started since", [](sim::Machine& m) { m.FindProcess(300)->firstListedInSnapshot = 1; }, 2},
      // Two calls to grow to 192 KB, the reported length; the second
      // snapshot starts there.
      {"a 192 KB system, 0.6 s on at each reading",
       [](sim::Machine& m) {
         m.SetSnapshotSize(0x30000);
         m.performanceCounterStep = 600000;
       },
       3},
      // The reported length, exactly at the 16 MB limit, is reached at once.
      {"a 16 MB system", [](sim::Machine& m) { m.SetSnapshotSize(0x1000000); }, 2},
  };
  for (const Case& c : cases) {
    sim::Machine m = ThreeProcesses();
    m.SetProcessIds({8, 120, 300});
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "*"});
    EXPECT_EQ(r.out, kBanner + kRunHeader + kReport8 + kSeparator + kReport120 + kSeparator + kReport300 +
                         "3 process(es) found\n")
        << c.name;
    EXPECT_EQ(m.CallCount("NtQuerySystemInformation"), c.snapshots) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
  }
}

// A sweep's snapshot grows to the length the platform reports, but never
// past 16 MB: one that needs more fails at the limit, after two calls, for
// every process.
TEST(Sweep, SnapshotPastTheLimitFailsForEveryProcess) {
  sim::Machine tooLarge = ThreeProcesses();
  tooLarge.SetProcessIds({8, 120, 300});
  tooLarge.SetSnapshotSize(0x1000001);
  sim::RunResult r = RunThreadsift(tooLarge, {"-p", "*"});
  std::string failure = "ERROR: 16 MB maximum buffer size exceeded\nGetRawNtSystemInfo error 24\n";
  EXPECT_EQ(r.out, kBanner + kRunHeader + failure + "[4000] EnumProcessThreads pid 8 error 24\n" + kSeparator +
                       failure + "[4000] EnumProcessThreads pid 120 error 24\n" + kSeparator + failure +
                       "[4000] EnumProcessThreads pid 300 error 24\n3 process(es) found\n");
  EXPECT_EQ(tooLarge.CallCount("NtQuerySystemInformation"), 6);
  EXPECT_EQ(tooLarge.LiveAllocationCount(), 0);
}

// A thread that ended after the snapshot was taken, and so cannot be opened,
// is passed over, and left out of its process's count, as if the snapshot
// had been taken for its own process; where the snapshot was taken for the
// process, and for any other failure, the lines stay.
TEST(Sweep, ThreadThatEndedSinceAKeptSnapshotIsPassedOver) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300});
  for (DWORD tid : {81u, 1202u}) m.FailStatusFor("NtOpenThread", tid, STATUS_INVALID_CID);
  m.FailStatusFor("NtOpenThread", 3001, STATUS_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  std::string report8 = kReport8;
  report8.insert(report8.size() - 1, "NtOpenThread error 87\nOpenThread error 87\nWalkThread 81 error 87\n");
  std::string report300 = kReport300;
  report300.insert(report300.find("\nThread 3002"),
                   "NtOpenThread error 5\nOpenThread error 5\nWalkThread 3001 error 5\n");
  EXPECT_EQ(r.out, kBanner + kRunHeader + report8 + kSeparator +
                       ProcessReport("Process 120 (0x78)  app.exe 2 thread(s)", {1201, 1203}) + kSeparator + report300 +
                       "3 process(es) found\n");
  EXPECT_EQ(m.OpenHandleCount(), 0);

  // One that ended but that a handle keeps can still be opened: its exit
  // status tells.
  sim::Machine kept = ThreeProcesses();
  kept.SetProcessIds({8, 120, 300});
  kept.FindProcess(120)->FindThread(1202)->exited = true;
  r = RunThreadsift(kept, {"-p", "*"});
  EXPECT_THAT(r.out, HasSubstr(kSeparator + ProcessReport("Process 120 (0x78)  app.exe 2 thread(s)", {1201, 1203}) +
                               kSeparator));
  EXPECT_EQ(kept.OpenHandleCount(), 0);
}

// The id of a process that ended since the kept snapshot went to a new one:
// the kept record describes the old process (another creation time), so the
// new one is listed from a fresh snapshot, with its own threads.
TEST(Sweep, KeptRecordOfAnEarlierProcessWithTheSameIdIsNotUsed) {
  sim::Machine m = ThreeProcesses();
  m.SetProcessIds({8, 120, 300});
  sim::Process& svc = *m.FindProcess(300);
  svc.created = {0x01D0000000000001ull, 0x01D0000000000002ull};
  for (DWORD tid : {3001u, 3002u}) {
    svc.FindThread(tid)->listedInSnapshots = 1;
    m.FailStatusFor("NtOpenThread", tid, STATUS_INVALID_CID);
  }
  svc.AddThread(3101).firstListedInSnapshot = 1;
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_THAT(r.out, HasSubstr(kSeparator + ProcessReport("Process 300 (0x12c)  svc.exe 1 thread(s)", {3101}) +
                               "3 process(es) found\n"));
  EXPECT_EQ(m.CallCount("NtQuerySystemInformation"), 2);
}

// A sweep reads a module's symbol file once, whichever processes load it:
// again only for another file (same path, another size or time stamp) or
// where it lies at another base.
TEST(Sweep, SharedSymbolSessionParsesEachModuleFileOncePerBase) {
  sim::Machine m = SharedModulesMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  std::map<std::string, int> parses;
  for (const std::string& file : m.CallArgs("SymbolFileLoad")) ++parses[file];
  std::map<std::string, int> expected = {{"C:\\WINNT\\system32\\kernel32.dll,0x100000,0x3a000000", 1},
                                         {"C:\\app100\\app.exe,0x10000,0x3a000000", 1},
                                         {"C:\\app200\\app.exe,0x10000,0x3a000000", 1},
                                         {"C:\\app300\\app.exe,0x10000,0x3a000000", 1},
                                         {"C:\\app400\\app.exe,0x10000,0x3a000000", 1},
                                         {"C:\\app\\helper.dll,0x8000,0x3a000000", 2},
                                         {"C:\\app\\plugin.dll,0x4000,0x3a000000", 1},
                                         {"C:\\app\\plugin.dll,0x4000,0x3b000000", 1},
                                         {"C:\\app\\only.dll,0x1000,0x3a000000", 1},
                                         {"C:\\app\\ext.dll,0x2000,0x3a000000", 1},
                                         {"C:\\app\\ext.dll,0x3000,0x3a000000", 1}};
  EXPECT_EQ(parses, expected);
  // A version label is read once for each file the session shares.
  std::map<std::string, int> labels;
  for (const std::string& file : m.CallArgs("GetFileVersionInfoSizeA")) ++labels[file];
  EXPECT_EQ(labels["C:\\WINNT\\system32\\kernel32.dll"], 1);
  EXPECT_EQ(labels["C:\\app\\helper.dll"], 2);
  EXPECT_THAT(r.out, HasSubstr("5.00.2195.6824  C:\\WINNT\\system32\\kernel32.dll\n"));
  // So is the name of a frame at the same place in the same file.
  int lookups = 0;
  for (const std::string& args : m.CallArgs(kWide ? "SymGetSymFromAddr64" : "SymGetSymFromAddr")) {
    lookups += args.rfind("0x77f8abc0,", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(lookups, 1);
  EXPECT_EQ(m.CallCount("SymInitialize"), 1);
  EXPECT_THAT(r.out, HasSubstr("app.exe!main400("));
  EXPECT_THAT(r.out, HasSubstr("plugin.dll!NewPlug("));
  EXPECT_TRUE(m.books().misuses.empty()) << ::testing::PrintToString(m.books().misuses);
  EXPECT_EQ(m.books().symbolSessions, 0);
}

// A file's own label, a missing one included, is read once for each base
// the session shares it at; a read that failed is made again in the next
// process, whose row shows the label.
TEST(Sweep, SharedSessionKeepsAFilesOwnLabelButNotAFailedRead) {
  sim::Machine m = SharedModulesMachine();
  m.RemoveVersionResource("C:\\app\\helper.dll");
  m.Fail("GetFileVersionInfoSizeA", ERROR_NOT_ENOUGH_MEMORY, 5);  // the first process's fifth row
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  std::map<std::string, int> labels;
  for (const std::string& file : m.CallArgs("GetFileVersionInfoSizeA")) ++labels[file];
  EXPECT_EQ(m.CallArgs("GetFileVersionInfoSizeA").at(4), "C:\\WINNT\\system32\\kernel32.dll");
  EXPECT_EQ(labels["C:\\WINNT\\system32\\kernel32.dll"], 2);
  EXPECT_EQ(labels["C:\\app\\helper.dll"], 2);
  EXPECT_THAT(r.out, HasSubstr("-.--.----.----  C:\\WINNT\\system32\\kernel32.dll\n"));
  EXPECT_THAT(r.out, HasSubstr("5.00.2195.6824  C:\\WINNT\\system32\\kernel32.dll\n"));
  EXPECT_THAT(r.out, HasSubstr("-.--.----.----  C:\\app\\helper.dll\n"));
}

// The shared session reports what a session of each process's own reports
// (which the sweep falls back to when the shared one cannot be opened),
// a module whose symbols fail to load in one process included.
TEST(Sweep, SharedSymbolSessionReportsAsASessionPerProcessDoes) {
  const char* load = kWide ? "SymLoadModule64" : "SymLoadModule";
  for (bool loadFails : {false, true}) {
    sim::Machine shared = SharedModulesMachine();
    sim::Machine own = SharedModulesMachine();
    own.Fail("SymInitialize", ERROR_NOT_ENOUGH_MEMORY, 1);
    if (loadFails) {
      shared.FailFor(load, 0x50000000, ERROR_FILE_NOT_FOUND);
      own.FailFor(load, 0x50000000, ERROR_FILE_NOT_FOUND);
    }
    sim::RunResult sharedRun = RunThreadsift(shared, {"-p", "*"});
    sim::RunResult ownRun = RunThreadsift(own, {"-p", "*"});
    EXPECT_EQ(own.CallCount("SymInitialize"), 6) << loadFails;
    EXPECT_EQ(sharedRun.out, ownRun.out) << loadFails;
    EXPECT_EQ(sharedRun.out.find("SymLoadModule error 2") != std::string::npos, loadFails);
    EXPECT_THAT(sharedRun.out, HasSubstr("helper.dll!Help("));
  }
}

}  // namespace
