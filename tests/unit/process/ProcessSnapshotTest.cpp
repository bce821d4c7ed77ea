#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Snapshot.h"
#include "ToolRuns.h"
#include "simwin_api.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "threadsift/report/ReportSink.h"

int SimPrintf(const char* format, ...);

using ::testing::ElementsAre;

namespace {

// The lines a walk of process 120 prints when its snapshot fails.
std::string SnapshotFailure(const std::string& lines, int lastError) {
  return kBanner + kRunHeader + lines + "GetRawNtSystemInfo error " + std::to_string(lastError) +
         "\n[4000] EnumProcessThreads pid 120 error " + std::to_string(lastError) + "\n";
}

// Runs SnapshotProcess in a child and prints what it lists of the process.
sim::RunResult ListThreads(sim::Machine& m, DWORD pid) {
  return sim::RunInChild(m, [pid]() {
    ProcessThreads listed;
    ReportSink report(false, "");
    if (SnapshotProcess(&report, pid, &listed) != ProcessListed) return 2;
    std::string ids = "list:";
    for (const ThreadRecord& thread : listed.threads) ids += " " + std::to_string(thread.tid);
    SimPrintf("Process %u (0x%x)  %S %u thread(s)\n%s\n", (unsigned)pid, (unsigned)pid, listed.image.c_str(),
              (unsigned)listed.threadCount, ids.c_str());
    return 0;
  });
}

TEST(ProcessSnapshot, ThatFitsCostsOneQueryIntoAZeroFilledBuffer) {
  sim::Machine m = AppMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kHeader120, {10, 20, 30}));
  EXPECT_EQ(m.CallArgs("NtQuerySystemInformation"), std::vector<std::string>{"5,65536"});
  EXPECT_TRUE(m.books().firstSnapshotBufferZeroed);
  EXPECT_EQ(m.LiveAllocationCount(), 0);
}

TEST(ProcessSnapshot, GrowsInSteps64KBIgnoringTheReportedLength) {
  sim::Machine m = AppMachine();
  m.SetSnapshotSize(0x10000 * 2 + 1);
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(m.CallArgs("NtQuerySystemInformation"), ElementsAre("5,65536", "5,131072", "5,196608"));
  EXPECT_THAT(m.CallArgs("malloc"), ElementsAre("65536", "131072", "196608"));
  EXPECT_EQ(m.LiveAllocationCount(), 0);
}

TEST(ProcessSnapshot, SixteenMegabytesIsTheLastSizeTried) {
  sim::Machine fits = AppMachine();
  fits.SetSnapshotSize(0x1000000);
  sim::RunResult r = RunThreadsift(fits, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kHeader120, {10, 20, 30}));
  EXPECT_EQ(fits.CallCount("NtQuerySystemInformation"), 256);

  sim::Machine tooLarge = AppMachine();
  tooLarge.SetSnapshotSize(0x1000001);
  r = RunThreadsift(tooLarge, {"-p", "120"});
  // The last status, the length mismatch, translated.
  EXPECT_EQ(r.out, SnapshotFailure("ERROR: 16 MB maximum buffer size exceeded\n", 24));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(tooLarge.CallCount("NtQuerySystemInformation"), 256);
  EXPECT_EQ(tooLarge.LiveAllocationCount(), 0);
}

TEST(ProcessSnapshot, FailuresOfTheQueryAreReportedWithTheSnapshotsLine) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    std::string lines;
    int lastError;
  };
  const Case cases[] = {
      {"ntdll not loaded", [](sim::Machine& m) { m.RemoveModule("ntdll.dll"); }, "GetModuleHandle error 126\n", 126},
      {"entry missing", [](sim::Machine& m) { m.RemoveEntry("ntdll", "NtQuerySystemInformation"); },
       "GetProcAddress NtQuerySystemInformation error 127\n", 127},
      {"first buffer", [](sim::Machine& m) { m.Fail("malloc", 0, 1); }, "FATAL: failed to allocate 65536 byte(s)\n", 8},
      {"larger buffer",
       [](sim::Machine& m) {
         m.SetSnapshotSize(0x10001);
         m.Fail("malloc", 0, 2);
       },
       "FATAL: failed to allocate 131072 byte(s)\n", 8},
      {"access denied", [](sim::Machine& m) { m.FailStatus("NtQuerySystemInformation", STATUS_ACCESS_DENIED); },
       "NtQuerySystemInformation error c0000022, ret_len: 65536\n", 5},
      {"a warning is no success",
       [](sim::Machine& m) { m.FailStatus("NtQuerySystemInformation", (NTSTATUS)0x80000005); },
       "NtQuerySystemInformation error 80000005, ret_len: 65536\n", 234},
      {"second query",
       [](sim::Machine& m) {
         m.SetSnapshotSize(0x10001);
         m.FailStatus("NtQuerySystemInformation", (NTSTATUS)0xC0000017, 2);
       },
       "NtQuerySystemInformation error c0000017, ret_len: 131072\n", 8},
  };
  for (const Case& c : cases) {
    sim::Machine m = AppMachine();
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, SnapshotFailure(c.lines, c.lastError)) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << c.name;
    EXPECT_EQ(m.books().symbolSessions, 0) << c.name;
  }
}

TEST(ProcessSnapshot, ProcessAbsentIsNotFoundAndTheLastRecordIsReadLikeAnyOther) {
  sim::Machine gone = AppMachine();
  gone.AddProcess(77, u"gone.exe").inSnapshot = false;
  sim::RunResult r = RunThreadsift(gone, {"-p", "77"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "[4000] EnumProcessThreads pid 77 error 87\n");
  EXPECT_EQ(r.status, 1);

  // The newest process stands last, after the tool itself.
  sim::Machine last;
  AddSelf(last);
  last.AddProcess(120, u"app.exe").AddThread(10).AddFrame(0x401000);
  r = RunThreadsift(last, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "Process 120 (0x78)  app.exe 1 thread(s)\n\n" + kListingHeader +
                       "\nThread 10 (0xa)\n" + Hex(0x401000) + " = " + Hex(0x401000) + "()\n\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(last.SuspendCount(10), 0);
  EXPECT_EQ(last.LiveAllocationCount(), 0);
}

TEST(ProcessSnapshot, HeaderNamesTheProcess) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    DWORD pid;
    std::string out;
  };
  const Case cases[] = {
      {"idle", [](sim::Machine& m) { m.AddUnnamedProcess(0).AddThread(7); }, 0,
       "Process 0 (0x0)  System Idle Process 1 thread(s)\nlist: 7\n"},
      {"pid 0 with a name", [](sim::Machine& m) { m.AddProcess(0, u"Idle").AddThread(7); }, 0,
       "Process 0 (0x0)  Idle 1 thread(s)\nlist: 7\n"},
      {"no name", [](sim::Machine& m) { m.AddUnnamedProcess(300).AddThread(9); }, 300,
       "Process 300 (0x12c)  (unnamed) 1 thread(s)\nlist: 9\n"},
      {"conversions in the name", [](sim::Machine& m) { m.AddProcess(301, u"%s%n%x.exe").AddThread(9); }, 301,
       "Process 301 (0x12d)  %s%n%x.exe 1 thread(s)\nlist: 9\n"},
      {"long name", [](sim::Machine& m) { m.AddProcess(302, std::u16string(300, u'n')).AddThread(9); }, 302,
       "Process 302 (0x12e)  " + std::string(300, 'n') + " 1 thread(s)\nlist: 9\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m;
    c.arrange(m);
    AddSelf(m);
    sim::RunResult r = ListThreads(m, c.pid);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
  }
}

TEST(ProcessSnapshot, ThreadListEndsAtTheFirstZeroId) {
  sim::Machine none;
  none.AddProcess(120, u"app.exe");
  AddSelf(none);
  sim::RunResult r = ListThreads(none, 120);
  EXPECT_EQ(r.out, "Process 120 (0x78)  app.exe 0 thread(s)\nlist:\n");

  // No thread has the id 0: one that reads so ends the list, whatever the
  // record's count says.
  sim::Machine zero;
  sim::Process& p = zero.AddProcess(120, u"app.exe");
  for (DWORD tid : {10u, 0u, 30u}) p.AddThread(tid);
  AddSelf(zero);
  r = RunThreadsift(zero, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kHeader120, {10}));
  r = ListThreads(zero, 120);
  EXPECT_EQ(r.out, kHeader120 + "\nlist: 10\n");
  EXPECT_EQ(zero.LiveAllocationCount(), 0);
}

// Every record is checked against the snapshot's buffer before it is read:
// one that does not fit ends the snapshot, and a process behind it is not
// found. Records 0, 1 and 2 are processes 50, 120 and the tool itself.
TEST(ProcessSnapshot, RecordThatDoesNotFitItsBufferEndsTheSnapshot) {
  const size_t kBuffer = 0x10000;   // the first buffer the snapshot is read into
  const uint64_t kToBufferEnd = 1;  // a next-record offset that lands on the buffer's end
  struct Case {
    const char* name;
    size_t record;  // which record to edit
    size_t field;
    uint64_t value;
  };
  const Case cases[] = {
      {"thread count whose list size wraps", 1, sim::kSnapshotThreadCountField, 0x40000000},
      {"one thread more than the record holds", 1, sim::kSnapshotThreadCountField, 4},
      {"next record beyond the buffer", 0, sim::kSnapshotNextField, 0xFFFFFFF0},
      {"next record inside the record", 0, sim::kSnapshotNextField, 8},
      {"next record whose fields cross the buffer's end", 0, sim::kSnapshotNextField, kBuffer - 2},
      {"name outside the buffer", 1, sim::SnapshotNameField(), 0x100000},
      {"next record starting at the buffer's end", 1, sim::kSnapshotNextField, kToBufferEnd},
      {"name starting in the buffer's last byte", 1, sim::SnapshotNameField(), kBuffer - 1},
  };
  for (const Case& c : cases) {
    sim::Machine m;
    m.AddProcess(50, u"first.exe").AddThread(5);
    m.AddProcess(120, u"app.exe").AddThread(10);
    m.FindProcess(120)->AddThread(20);
    m.FindProcess(120)->AddThread(30);
    AddSelf(m);
    std::vector<unsigned char> bytes = sim::SnapshotBytes(m);
    size_t at = sim::SnapshotRecordAt(m, c.record) + c.field;
    if (c.field == sim::SnapshotNameField()) {
      sim::PutSnapshotPointer(&bytes, at, c.value);
    } else if (c.value == kToBufferEnd) {
      sim::PutSnapshotField(&bytes, at, (uint32_t)(kBuffer - sim::SnapshotRecordAt(m, c.record)));
    } else {
      sim::PutSnapshotField(&bytes, at, (uint32_t)c.value);
    }
    m.SetRawSnapshot(bytes);
    sim::RunResult r = ListThreads(m, 120);
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(r.status, 2) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
  }

  // A name is read up to its terminator or to the end of the buffer.
  sim::Machine m = AppMachine();
  std::vector<unsigned char> bytes = sim::SnapshotBytes(m);
  bytes.resize(kBuffer, 0);
  const unsigned char xy[] = {'X', 0, 'Y', 0};
  std::copy(xy, xy + 4, bytes.end() - 4);
  sim::PutSnapshotPointer(&bytes, sim::SnapshotNameField(), kBuffer - 4);
  m.SetRawSnapshot(bytes);
  sim::RunResult r = ListThreads(m, 120);
  EXPECT_EQ(r.out, "Process 120 (0x78)  XY 3 thread(s)\nlist: 10 20 30\n");
  EXPECT_EQ(m.CallCount("NtQuerySystemInformation"), 1);
}

// A sweep keeps its snapshot for less than a second (the clock moves here
// only as a slow reader holds up process 120's report), and a fresh one
// grows at once to the 64 KB step that holds the length the platform
// reports.
TEST(ProcessSnapshot, SweepKeepsItsSnapshotUnderASecondAndGrowsItToTheReportedLength) {
  struct Case {
    const char* name;
    uint64_t readerDelayUs;
    size_t snapshotSize;
    int queries;
  };
  const Case cases[] = {
      {"kept a microsecond under a second", 999999, 0, 1},
      {"kept exactly a second", 1000000, 0, 2},
      {"a length a byte past 192 KB", 0, 0x30001, 2},
  };
  for (const Case& c : cases) {
    sim::Machine m = AppMachine();
    m.AddProcess(300, u"other.exe").AddThread(31);
    m.performanceCounterStep = 0;
    if (c.readerDelayUs != 0) m.DelayAfterOutput("Thread 30 (0x1e)\n", c.readerDelayUs);
    if (c.snapshotSize != 0) m.SetSnapshotSize(c.snapshotSize);
    sim::RunResult r = RunThreadsift(m, {"-p", "*"});
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(m.CallCount("NtQuerySystemInformation"), c.queries) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
  }
}

TEST(ProcessSnapshot, ThreadListThatCannotBeAllocatedKeepsTheHeader) {
  sim::Machine m = AppMachine();
  m.FailAllocationAfter("NtQuerySystemInformation", 3 * sizeof(ThreadRecord));
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kHeader120 + "\nFATAL: failed to allocate " +
                       std::to_string(3 * sizeof(ThreadRecord)) + " byte(s)\n" +
                       "[4000] EnumProcessThreads pid 120 error 8\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(m.LiveAllocationCount(), 0);
}

TEST(ProcessSnapshot, ThreadRecordsAreFoundForEveryPlatformVersion) {
  for (DWORD major : {3u, 4u, 5u, 6u, 10u}) {
    sim::Machine m = AppMachine();
    m.SetMajorVersion(major);
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, kBanner + kRunHeader + ProcessReport(kHeader120, {10, 20, 30})) << major;
#if !defined(_WIN64)
    EXPECT_EQ(m.CallArgs("GetVersionExA"), std::vector<std::string>{"148"});
#endif
  }
  // Without the version the records of current systems are read.
  sim::Machine m = AppMachine();
  m.Fail("GetVersionExA", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RunThreadsift(m, {"-p", "120"}).out, kBanner + kRunHeader + ProcessReport(kHeader120, {10, 20, 30}));
}

}  // namespace
