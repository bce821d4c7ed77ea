#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "JsonLines.h"
#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

void ExpectLeftAsFound(const sim::Machine& m) {
  EXPECT_EQ(m.OpenHandleCount(), 0);
  EXPECT_TRUE(m.books().misuses.empty()) << ::testing::PrintToString(m.books().misuses);
  for (const sim::Process& p : m.processes) {
    for (const sim::Thread& t : p.threads) EXPECT_EQ(m.SuspendCount(t.id), 0) << t.id;
  }
}

}  // namespace

#if defined(_WIN64)

namespace {

// Addresses of a 32-bit process, as the 32-bit build prints them whatever
// the build that walks it.
std::string Hex32(uint64_t value) {
  char text[16];
  snprintf(text, sizeof(text), "%08llx", (unsigned long long)value);
  return text;
}

std::string Row32(uint64_t base, unsigned size, const std::string& label, const std::string& path) {
  char text[64];
  snprintf(text, sizeof(text), "0x%08llx  0x%08llx  0x%08x %15s  ", (unsigned long long)base,
           (unsigned long long)(base + size - 1), size, label.c_str());
  return text + path + "\n";
}

const char kSystemKernel[] = "C:\\WINDOWS\\system32\\kernel32.dll";
const char kLayerKernel[] = "C:\\WINDOWS\\SysWOW64\\kernel32.dll";


// A 32-bit program, process 130, on 64-bit Windows: its own modules, among
// them kernel32.dll listed in the system folder (which holds the 64-bit
// file) and read from the folder of the 32-bit files, and the layer's
// 64-bit modules, which only the plain listing names.
sim::Machine ThirtyTwoBitMachine() {
  sim::Machine m;
  sim::Process& p = m.AddProcess(130, u"app32.exe");
  p.bits = 32;
  sim::Module& app = p.AddModule(0x400000, 0x10000, "app32.exe", "C:\\app\\app32.exe");
  app.AddSymbol(0x401000, 0x100, "_worker").AddLine(0x401010, "C:\\src\\app32.c", 12);
  app.AddSymbol(0x402000, 0x80, "_main");
  sim::Module& kernel = p.AddModule(0x7b000000, 0x100000, "kernel32.dll", kSystemKernel);
  kernel.file = kLayerKernel;
  kernel.AddSymbol(0x7b010000, 0x40, "_WaitForSingleObject@8");
  p.layerModules.push_back(
      sim::Module{0x7ffe0000000ull, 0x200000, "ntdll.dll", "C:\\WINDOWS\\system32\\ntdll.dll", {}});
  p.AddThread(11).AddFrame(0x7b010008, 0x74, 0xffffffff).AddFrame(0x401010, 1).AddFrame(0x402000);
  p.AddThread(12).AddFrame(0x402010);
  m.SetVersionResource(kSystemKernel, sim::VersionResource().FileVersion(6, 1, 7601, 64));
  m.SetVersionResource(kLayerKernel, sim::VersionResource().FileVersion(6, 1, 7601, 32));
  AddSelf(m);
  return m;
}

const std::string kReport130 =
    "Process 130 (0x82)  app32.exe 2 thread(s)\n\n" + kListingHeader32 +
    Row32(0x400000, 0x10000, "-.--.----.----", "C:\\app\\app32.exe") +
    Row32(0x7b000000, 0x100000, "6.01.7601.0032", kSystemKernel) + "\nThread 11 (0xb)\n" + Hex32(0x7b010008) +
    " = kernel32.dll!_WaitForSingleObject@8(00000074,ffffffff,00000000,00000000)+8\n" + Hex32(0x401010) +
    " =    app32.exe!_worker(00000001,00000000,00000000,00000000)+16 C:\\src\\app32.c(12)\n" + Hex32(0x402000) +
    " =    app32.exe!_main(00000000,00000000,00000000,00000000)\n\nThread 12 (0xc)\n" + Hex32(0x402010) +
    " =    app32.exe!_main(00000000,00000000,00000000,00000000)+16\n\n";

TEST(ProcessWidth, ThirtyTwoBitProcessIsReportedAsTheThirtyTwoBitBuildReportsIt) {
  sim::Machine m = ThirtyTwoBitMachine();
  sim::RunResult r = RunThreadsift(m, {"-p", "130"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport130);
  // Each stack is copied in one read up to the base its 32-bit environment
  // block names (the 64-bit block names the layer's stack), while held.
  int copies = 0;
  for (const std::string& args : m.CallArgs("ReadProcessMemory")) copies += ::testing::Value(args, EndsWith(",8192"));
  EXPECT_EQ(copies, 2);
  EXPECT_EQ(CallsWhileSuspended(m)["VirtualQueryEx"], 0);
  EXPECT_EQ(m.CallCount("Wow64GetThreadContext"), 2);
  ExpectLeftAsFound(m);

  sim::Machine json = ThirtyTwoBitMachine();
  sim::RunResult j = RunThreadsift(json, {"-p", "130", "-j"});
  EXPECT_THAT(j.out, HasSubstr("\"process_width\":32"));
  EXPECT_THAT(j.out, HasSubstr("\"base_addr\":\"0x7b000000\""));
  EXPECT_EQ(CompareJsonWithText(j.out, r.out), "");
}

// Only a module in the system folder itself is read from the folder of the
// 32-bit files; one in a folder whose name merely begins the same is read
// where it lies.
TEST(ProcessWidth, ModuleBesideTheSystemFolderIsReadFromItsOwnPath) {
  sim::Machine m = ThirtyTwoBitMachine();
  const char kBeside[] = "C:\\WINDOWS\\system32x\\lib32.dll";
  m.FindProcess(130)->AddModule(0x10000000, 0x10000, "lib32.dll", kBeside);
  m.SetVersionResource(kBeside, sim::VersionResource().FileVersion(1, 2, 3, 4));
  sim::RunResult r = RunThreadsift(m, {"-p", "130"});
  EXPECT_THAT(r.out, HasSubstr(Row32(0x10000000, 0x10000, "1.02.0003.0004", kBeside)));
  ExpectLeftAsFound(m);
}

TEST(ProcessWidth, SweepWalksEachProcessInItsOwnWidth) {
  sim::Machine m = ThirtyTwoBitMachine();
  sim::Process& wide = m.AddProcess(140, u"app64.exe");
  wide.AddModule(0x140000000ull, 0x10000, "app64.exe", "C:\\app\\app64.exe").AddSymbol(0x140001000ull, 0x10, "main");
  wide.AddThread(41).AddFrame(0x140001000ull);
  std::swap(m.processes[1], m.processes[2]);  // the tool's own process stays last
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr(kReport130 + kSeparator + "Process 140 (0x8c)  app64.exe 1 thread(s)\n\n" +
                               kListingHeader64 + ModuleRow(0x140000000ull, 0x10000, "-.--.----.----",
                                                            "C:\\app\\app64.exe") +
                               "\nThread 41 (0x29)\n" + Hex(0x140001000ull) + " =    app64.exe!main" +
                               Params(0, 0, 0, 0) + "\n\n"));
  ExpectLeftAsFound(m);
}

TEST(ProcessWidth, RegistersCaughtSwitchingModesAreReadAgainAndNeverWalkedFrom) {
  struct Case {
    int unsteadyReads;
    bool walked;
    bool strayPc;  // the reads catch the program counter, not the stack pointer, off
  };
  for (const Case& c : {Case{2, true, false}, Case{3, false, false}, Case{3, false, true}}) {
    sim::Machine m = ThirtyTwoBitMachine();
    sim::Thread& caught = *m.FindProcess(130)->FindThread(12);
    (c.strayPc ? caught.strayPcReads : caught.unsteadyReads) = c.unsteadyReads;
    sim::RunResult r = RunThreadsift(m, {"-p", "130", "-t", "12"});
    EXPECT_EQ(r.status, 0) << c.unsteadyReads;
    // The thread runs between the reads: held three times at most.
    EXPECT_EQ(m.CallCount("SuspendThread"), 1 + (c.unsteadyReads < 3 ? c.unsteadyReads : 2)) << c.unsteadyReads;
    const std::string frames = Hex32(0x402010) + " =    app32.exe!_main(00000000,00000000,00000000,00000000)+16\n";
    if (c.walked) {
      EXPECT_THAT(r.out, HasSubstr("Thread 12 (0xc)\n" + frames + "\n"));
    } else {
      EXPECT_THAT(r.out, HasSubstr("Thread 12 (0xc)\nThread 12 (0xc): its 32-bit registers did not hold still in 3 "
                                   "reads; its frames are not shown\n\n"));
      EXPECT_THAT(r.out, Not(HasSubstr(frames)));
    }
    ExpectLeftAsFound(m);
  }
}

// A 32-bit program whose main image's header was wiped (a packer's, say)
// is walked in the width the platform says it runs in.
TEST(ProcessWidth, UnreadableHeaderIsWalkedInTheWidthThePlatformSays) {
  sim::Machine m = ThirtyTwoBitMachine();
  m.FindProcess(130)->saysWow64 = true;
  m.FailFor("ReadProcessMemory", 0x40003c, ERROR_PARTIAL_COPY);
  sim::RunResult r = RunThreadsift(m, {"-p", "130"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + kRunHeader + "Process 130 (0x82)  app32.exe 2 thread(s)\n\nReadImageMachine error 299\n" +
                       "Process 130 (0x82) is walked as a 32-bit process: its main image's header cannot be read\n" +
                       kReport130.substr(kReport130.find(kListingHeader32)));
  ExpectLeftAsFound(m);
  sim::Machine json = ThirtyTwoBitMachine();
  json.FindProcess(130)->saysWow64 = true;
  json.FailFor("ReadProcessMemory", 0x40003c, ERROR_PARTIAL_COPY);
  sim::RunResult j = RunThreadsift(json, {"-p", "130", "-j"});
  EXPECT_THAT(j.out, HasSubstr("\"process_width\":32,\"process_width_assumed\":true"));
  EXPECT_EQ(CompareJsonWithText(j.out, r.out), "");
}

// A thread of a 32-bit process that has no 32-bit registers is said to be
// what it is; one whose 32-bit registers cannot be read names the call that
// failed, or is missing.
TEST(ProcessWidth, ThreadWithoutThirtyTwoBitRegistersSaysWhatItIs) {
  struct Row {
    const char* name;
    void (*arrange)(sim::Machine&);
    std::string lines;
  };
  const Row rows[] = {
      {"a thread of the 64-bit layer", [](sim::Machine& m) { m.FindProcess(130)->FindThread(12)->layerOnly = true; },
       "Thread 12 (0xc) is a thread of the platform's 64-bit layer: it has no 32-bit registers; its frames are not "
       "shown\n"},
      {"a thread of the 64-bit layer whose environment block the platform does not name",
       [](sim::Machine& m) {
         m.FindProcess(130)->FindThread(12)->layerOnly = true;
         m.FailStatusFor("NtQueryInformationThread", 12, STATUS_ACCESS_DENIED);
       },
       "Thread 12 (0xc): its 32-bit registers did not hold still in 3 reads; its frames are not shown\n"},
      {"its registers cannot be read", [](sim::Machine& m) { m.Fail("Wow64GetThreadContext", ERROR_ACCESS_DENIED); },
       "Wow64GetThreadContext error 5\nWalkThreadStack error 5\nWalkThread 12 error 5\n"},
      {"a system without the routine", [](sim::Machine& m) { m.RemoveEntry("kernel32", "Wow64GetThreadContext"); },
       "Wow64GetThreadContext error 127\nWalkThreadStack error 127\nWalkThread 12 error 127\n"},
  };
  for (const Row& row : rows) {
    for (bool json : {false, true}) {
      sim::Machine m = ThirtyTwoBitMachine();
      row.arrange(m);
      sim::RunResult r = RunThreadsift(m, json ? std::vector<std::string>{"-p", "130", "-t", "12", "-j"}
                                               : std::vector<std::string>{"-p", "130", "-t", "12"});
      EXPECT_EQ(r.status, 0) << row.name;
      if (!json) {
        EXPECT_THAT(r.out, HasSubstr("Thread 12 (0xc)\n" + row.lines + "\n")) << row.name;
        continue;
      }
      sim::Machine text = ThirtyTwoBitMachine();
      row.arrange(text);
      EXPECT_EQ(CompareJsonWithText(r.out, RunThreadsift(text, {"-p", "130", "-t", "12"}).out), "") << row.name;
      ExpectLeftAsFound(m);
    }
  }
}

TEST(ProcessWidth, ProcessThatCannotBeToldOrListedIsOneLineAndTheSweepGoesOn) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    std::string line;
  };
  const Case cases[] = {
      {"another machine", [](sim::Machine& m) { m.FindProcess(130)->machine = 0xAA64; },
       "Process 130 (0x82) is built for machine 0xaa64, which threadsift does not walk\n"},
      {"extended listing fails",
       [](sim::Machine& m) { m.Fail("EnumProcessModulesEx", ERROR_ACCESS_DENIED); }, "EnumProcessModulesEx error 5\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m = ThirtyTwoBitMachine();
    sim::Process& other = m.AddProcess(150, u"other.exe");
    other.AddModule(0x600000, 0x1000, "other.exe", "C:\\other.exe");
    other.AddThread(51).AddFrame(0x600010);
    std::swap(m.processes[1], m.processes[2]);
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "*"});
    EXPECT_THAT(r.out, HasSubstr("Process 130 (0x82)  app32.exe 2 thread(s)\n\n" + c.line + kSeparator +
                                 "Process 150 (0x96)  other.exe 1 thread(s)\n"))
        << c.name;
    EXPECT_THAT(r.out, HasSubstr("Thread 51 (0x33)\n" + Hex(0x600010))) << c.name;
    EXPECT_EQ(m.CallCount("SuspendThread"), 1) << c.name;
    ExpectLeftAsFound(m);
  }
}

// Where the platform has no extended listing (the first 64-bit systems),
// the 32-bit loader's list names the modules, read within bounds.
TEST(ProcessWidth, WithoutTheExtendedListingTheLoadersListNamesTheModules) {
  struct Case {
    const char* name;
    void (*damage)(sim::Process&, const std::vector<uint64_t>& blocks);
    std::string report;
  };
  const std::string header = "Process 130 (0x82)  app32.exe 2 thread(s)\n\n";
  const Case cases[] = {
      {"whole", [](sim::Process&, const std::vector<uint64_t>&) {}, kReport130},
      {"a loop",
       [](sim::Process& p, const std::vector<uint64_t>& blocks) {
         for (sim::MemoryBlock& b : p.memory) {
           if (b.address == blocks.back()) std::memcpy(b.bytes.data(), &blocks[2], 4);
         }
       },
       header + "ReadLoaderList error 13\n"},
      {"a link outside the process",
       [](sim::Process& p, const std::vector<uint64_t>& blocks) {
         const uint32_t outside = 0x6f000000;
         for (sim::MemoryBlock& b : p.memory) {
           if (b.address == blocks[2]) std::memcpy(b.bytes.data(), &outside, 4);
         }
         p.memory.push_back(sim::MemoryBlock{outside, std::vector<unsigned char>(0x100), true, -1, {}});
       },
       header + "ReadLoaderList error 299\n"},
      {"a path of an odd byte length",
       [](sim::Process& p, const std::vector<uint64_t>& blocks) {
         for (sim::MemoryBlock& b : p.memory) {
           if (b.address == blocks[2]) --b.bytes[0x24];  // the path's length, in the first entry
         }
       },
       header + "ReadLoaderList error 13\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m = ThirtyTwoBitMachine();
    m.RemoveEntry("psapi", "EnumProcessModulesEx");
    sim::Process& p = *m.FindProcess(130);
    c.damage(p, p.AddLoaderData32(0x7efde000));
    sim::RunResult r = RunThreadsift(m, {"-p", "130"});
    EXPECT_EQ(r.out, kBanner + kRunHeader + c.report) << c.name;
    ExpectLeftAsFound(m);
  }
}

// Sampling folds the same names as the 32-bit build: addresses without a
// name in 8 digits, and a system module loaded while sampling registered
// with its 32-bit file.
TEST(ProcessWidth, SamplesOfAThirtyTwoBitProcessFoldItsOwnNames) {
  sim::Machine m = ThirtyTwoBitMachine();
  sim::Process& p = *m.FindProcess(130);
  sim::Module& late = p.AddModule(0x7c000000, 0x1000, "user32.dll", "C:\\WINDOWS\\system32\\user32.dll");
  late.file = "C:\\WINDOWS\\SysWOW64\\user32.dll";
  late.AddSymbol(0x7c000100, 0x20, "_GetMessageA@16");
  late.listedFromCall = 4;  // the listings of the table are the first two, the sampler's the next
  p.FindThread(12)->frames = {{0x7c000110, {}}, {0x402000, {}}, {0x300000, {}}};
  sim::RunResult r = RunThreadsift(m, {"-p", "130", "-t", "12", "-s", "3", "-i", "600"});
  EXPECT_THAT(r.out, HasSubstr("app32.exe;12;0x00300000;app32.exe!_main;0x7c000110 2\n"));
  EXPECT_THAT(r.out, HasSubstr("app32.exe;12;0x00300000;app32.exe!_main;user32.dll!_GetMessageA@16 1\n"));
  ExpectLeftAsFound(m);

  // A thread whose stack bytes stay but whose 32-bit registers change is
  // walked again: its kept walk is for the registers it had.
  sim::Machine moved = ThirtyTwoBitMachine();
  sim::Thread& t = *moved.FindProcess(130)->FindThread(12);
  t.stack.still = true;
  t.samples = {{{0x402010, {}}}, {{0x401010, {}}}};
  r = RunThreadsift(moved, {"-p", "130", "-t", "12", "-s", "2", "-i", "1"});
  EXPECT_THAT(r.out, HasSubstr("app32.exe;12;app32.exe!_main 1\n"));
  EXPECT_THAT(r.out, HasSubstr("app32.exe;12;app32.exe!_worker 1\n"));
  ExpectLeftAsFound(moved);
}

TEST(ProcessWidth, ThirtyTwoBitEnvironmentBlockThatCannotBeReadFallsBackToTheRegion) {
  sim::Machine m = ThirtyTwoBitMachine();
  m.FailFor("ReadProcessMemory", m.FindProcess(130)->FindThread(12)->stack.EnvironmentBlock32() + 4,
            ERROR_PARTIAL_COPY);
  sim::RunResult r = RunThreadsift(m, {"-p", "130"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + kReport130);
  ExpectLeftAsFound(m);
}

}  // namespace

#else

TEST(ProcessWidth, SixtyFourBitProcessIsOneLineNamingTheSixtyFourBitBuild) {
  for (bool onSixtyFourBitWindows : {true, false}) {
    sim::Machine m;
    sim::Process& wide = m.AddProcess(140, u"app64.exe");
    wide.bits = 64;
    wide.AddModule(0x400000, 0x10000, "app64.exe", "C:\\app\\app64.exe");
    wide.AddThread(41).AddFrame(0x400010);
    sim::Process& narrow = m.AddProcess(150, u"app32.exe");
    narrow.AddModule(0x400000, 0x10000, "app32.exe", "C:\\app\\app32.exe");
    narrow.AddThread(51).AddFrame(0x400010);
    AddSelf(m);
    m.toolInWow64 = onSixtyFourBitWindows;
    sim::RunResult r = RunThreadsift(m, {"-p", "*"});
    // On a system without the 32-bit layer nothing tells a process that
    // cannot be listed: the listing's failure is said, as ever.
    std::string line = onSixtyFourBitWindows
                           ? "Process 140 (0x8c) is a 64-bit process: the 64-bit threadsift walks it\n"
                           : "EnumProcessModules error 299\n";
    EXPECT_THAT(r.out, HasSubstr("Process 140 (0x8c)  app64.exe 1 thread(s)\n\n" + line + kSeparator))
        << onSixtyFourBitWindows;
    EXPECT_THAT(r.out, HasSubstr("Thread 51 (0x33)\n" + Hex(0x400010)));
    EXPECT_EQ(m.CallCount("SuspendThread"), 1);
    ExpectLeftAsFound(m);
  }
}

// A process the platform lists whose main image is built for the 64-bit
// machine is not walked by the 32-bit build.
TEST(ProcessWidth, SixtyFourBitImageIsNotWalkedByTheThirtyTwoBitBuild) {
  sim::Machine m;
  sim::Process& p = m.AddProcess(140, u"app64.exe");
  p.machine = IMAGE_FILE_MACHINE_AMD64;
  p.AddModule(0x400000, 0x10000, "app64.exe", "C:\\app\\app64.exe");
  p.AddThread(41).AddFrame(0x400010);
  AddSelf(m);
  sim::RunResult r = RunThreadsift(m, {"-p", "140"});
  EXPECT_THAT(r.out, HasSubstr("Process 140 (0x8c) is a 64-bit process: the 64-bit threadsift walks it\n"));
  EXPECT_EQ(m.CallCount("SuspendThread"), 0);
  ExpectLeftAsFound(m);
}

#endif

// A process of the tool's own width whose main image's header cannot be
// read is walked in that width, and the report says the width was assumed.
TEST(ProcessWidth, UnreadableHeaderIsWalkedInTheToolsWidth) {
  sim::Machine m;
  sim::Process& p = m.AddProcess(150, u"app.exe");
  p.AddModule(0x400000, 0x10000, "app.exe", "C:\\app\\app.exe");
  // The main image is the first module listed, not the lowest.
  p.AddModule(0x10000, 0x1000, "low.dll", "C:\\app\\low.dll");
  p.AddThread(51).AddFrame(0x400010);
  AddSelf(m);
  m.FailFor("ReadProcessMemory", 0x40003c, ERROR_PARTIAL_COPY);
  sim::RunResult r = RunThreadsift(m, {"-p", "150"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr(std::string("ReadImageMachine error 299\nProcess 150 (0x96) is walked as a ") +
                               (sizeof(void*) == 8 ? "64" : "32") +
                               "-bit process: its main image's header cannot be read\n" + kListingHeader));
  EXPECT_THAT(r.out, HasSubstr("Thread 51 (0x33)\n" + Hex(0x400010)));
  ExpectLeftAsFound(m);
}
