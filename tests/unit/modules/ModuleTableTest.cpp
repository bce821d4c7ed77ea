#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "ToolRuns.h"
#include "simwin_api.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kNoVersion[] = "-.--.----.----";

std::string Path(int i) { return "C:\\app\\m" + std::to_string(i) + ".dll"; }

// Process pid with modules at the given bases (0x2000 bytes each, in the
// order the platform lists them) and thread 10, whose one frame lies at the
// start of the first module; then the tool itself.
sim::Machine ModuleMachine(DWORD pid, const std::vector<uint64_t>& bases) {
  sim::Machine m;
  sim::Process& p = m.AddProcess(pid, u"app.exe");
  for (size_t i = 0; i < bases.size(); ++i) {
    p.AddModule(bases[i], 0x2000, "m" + std::to_string(i) + ".dll", Path((int)i));
  }
  p.AddThread(10).AddFrame(bases.empty() ? 0x10000 : bases[0]);
  AddSelf(m);
  return m;
}

TEST(ModuleTable, ListsModulesInAscendingOrderOfHandle) {
  sim::Machine m = ModuleMachine(120, {0x70000, 0x10000, 0x40000});
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  std::string rows = ModuleRow(0x10000, 0x2000, kNoVersion, Path(1)) + ModuleRow(0x40000, 0x2000, kNoVersion, Path(2)) +
                     ModuleRow(0x70000, 0x2000, kNoVersion, Path(0));
  EXPECT_THAT(r.out, HasSubstr("\n\n" + kListingHeader + rows + "\nThread 10 (0xa)\n" + Hex(0x70000) +
                               " =       m0.dll!" + Hex(0x70000) + "()\n\n"));
  EXPECT_THAT(r.out, HasSubstr("0x" + Hex(0x10000) + "  0x" + Hex(0x11fff) + "  0x00002000"));
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(m.CallArgs(kWide ? "SymLoadModule64" : "SymLoadModule"),
              ElementsAre("null," + Path(1) + ",m1.dll,0x10000,0x2000", "null," + Path(2) + ",m2.dll,0x40000,0x2000",
                          "null," + Path(0) + ",m0.dll,0x70000,0x2000"));
}

TEST(ModuleTable, AddressesFromBaseToLastByteBelongToTheModule) {
  sim::Machine m = ModuleMachine(120, {0x10000});
  m.FindProcess(120)->FindThread(10)->AddFrame(0x11fff).AddFrame(0x12000);
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_THAT(r.out,
              HasSubstr("\n" + Hex(0x10000) + " =       m0.dll!" + Hex(0x10000) + "()\n" + Hex(0x11fff) +
                        " =       m0.dll!" + Hex(0x11fff) + "()\n" + Hex(0x12000) + " = " + Hex(0x12000) + "()\n\n"));
}

TEST(ModuleTable, VersionColumnIsFifteenWideAndALongerLabelPushesThePath) {
  sim::Machine m = ModuleMachine(120, {0x10000, 0x20000});
  m.SetVersionResource(Path(0), sim::VersionResource().FileVersion(10, 20, 1381, 1));
  m.SetVersionResource(Path(1), sim::VersionResource().FileVersion(100, 20, 1381, 1));
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_THAT(r.out, HasSubstr("  0x00002000 10.20.1381.0001  " + Path(0) + "\n"));
  EXPECT_THAT(r.out, HasSubstr("  0x00002000 100.20.1381.0001  " + Path(1) + "\n"));

  // A maker's label, shorter than a file version's, is padded to that width first.
  sim::Machine maker = ModuleMachine(120, {0x10000});
  maker.SetVersionResource(Path(0), sim::VersionResource()
                                        .ProductVersion(3, 2, 7)
                                        .String("\\StringFileInfo\\040904E4\\CompanyName", "Vantorel Products Inc.")
                                        .String("\\StringFileInfo\\040904E4\\FileVersion", "15"));
  r = RunThreadsift(maker, {"-p", "120"});
  EXPECT_THAT(r.out, HasSubstr("  0x00002000  3.2.7.15        " + Path(0) + "\n"));
}

TEST(ModuleTable, NamesCutToTheirRoomEndThereWithOrWithoutATerminator) {
  const std::string name(300, 'b'), path = "C:\\" + std::string(300, 'p');
  for (bool unterminated : {false, true}) {
    sim::Machine m = ModuleMachine(120, {});
    m.cutNamesUnterminated = unterminated;
    m.FindProcess(120)->AddModule(0x10000, 0x2000, name, path);
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_THAT(r.out, HasSubstr(ModuleRow(0x10000, 0x2000, kNoVersion, path.substr(0, 259)) + "\n")) << unterminated;
    EXPECT_THAT(r.out, HasSubstr(Hex(0x10000) + " = " + name.substr(0, 259) + "!")) << unterminated;
  }
}

TEST(ModuleTable, FailuresEndTheBuildAfterTheRowsSoFar) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Machine&);
    std::string tail;
    int status;
  };
  const std::string firstRow = ModuleRow(0x10000, 0x2000, kNoVersion, Path(0));
  const Case cases[] = {
      {"information", [](sim::Machine& m) { m.Fail("GetModuleInformation", ERROR_PARTIAL_COPY, 2); },
       firstRow + "GetModuleInformation error 299\n", 1},
      {"base name", [](sim::Machine& m) { m.Fail("GetModuleBaseNameA", ERROR_PARTIAL_COPY, 2); },
       firstRow + "GetModuleBaseName error 299\n", 1},
      {"file name", [](sim::Machine& m) { m.Fail("GetModuleFileNameExA", ERROR_PARTIAL_COPY, 2); },
       firstRow + "GetModuleFileNameEx error 299\n", 1},
      {"registration of the third",
       [](sim::Machine& m) {
         m.FailFor(kWide ? "SymLoadModule64" : "SymLoadModule", 0x30000, ERROR_NOT_ENOUGH_MEMORY);
       },
       firstRow + ModuleRow(0x20000, 0x2000, kNoVersion, Path(1)) + "SymLoadModule error 8\n", 0},
  };
  for (const Case& c : cases) {
    sim::Machine m = ModuleMachine(120, {0x10000, 0x20000, 0x30000, 0x40000, 0x50000});
    c.arrange(m);
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, kBanner + kRunHeader + "Process 120 (0x78)  app.exe 1 thread(s)\n\n" + kListingHeader + c.tail)
        << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(m.CallCount("NtOpenThread"), 0) << c.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << c.name;
    EXPECT_EQ(m.books().symbolSessions, 0) << c.name;
    EXPECT_EQ(m.LiveAllocationCount(), 0) << c.name;
  }
}

TEST(ModuleTable, UnlistableModulesEndTheWalkExceptForTheSystemProcess) {
  sim::Machine other = ModuleMachine(9, {0x10000});
  other.Fail("EnumProcessModules", ERROR_ACCESS_DENIED);
  sim::RunResult r = RunThreadsift(other, {"-p", "9"});
  EXPECT_EQ(r.out, kBanner + kRunHeader + "Process 9 (0x9)  app.exe 1 thread(s)\n\nEnumProcessModules error 5\n");
  EXPECT_EQ(r.status, 1);

  for (DWORD pid : {2u, 8u}) {
    sim::Machine system = ModuleMachine(pid, {0x10000});
    system.Fail("EnumProcessModules", ERROR_ACCESS_DENIED);
    r = RunThreadsift(system, {"-p", std::to_string(pid)});
    std::string header = "Process " + std::to_string(pid) + " (0x" + std::to_string(pid) + ")  app.exe 1 thread(s)";
    EXPECT_EQ(r.out, kBanner + kRunHeader + header + "\n\nEnumProcessModules error 5\n" + kListingHeader + "\n" +
                         "Thread 10 (0xa)\n" + Hex(0x10000) + " = " + Hex(0x10000) + "()\n\n");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(ModuleTable, EachProcessOfASweepGetsOnlyItsOwnModules) {
  sim::Machine m;
  sim::Process& first = m.AddProcess(120, u"one.exe");
  first.AddModule(0x10000, 0x2000, "one.dll", "C:\\one.dll");
  first.AddThread(10).AddFrame(0x10010);
  m.AddProcess(300, u"two.exe").AddThread(30).AddFrame(0x10010);
  AddSelf(m);
  sim::RunResult r = RunThreadsift(m, {"-p", "*"});
  EXPECT_THAT(r.out, HasSubstr("Thread 10 (0xa)\n" + Hex(0x10010) + " =      one.dll!" + Hex(0x10010) + "()\n"));
  EXPECT_THAT(r.out, HasSubstr("Thread 30 (0x1e)\n" + Hex(0x10010) + " = " + Hex(0x10010) + "()\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("two.exe 1 thread(s)\n\n" + kListingHeader + "0x")));
}

TEST(ModuleTable, HandleBufferGrowsUntilEveryModuleFits) {
  std::vector<uint64_t> bases;
  for (uint64_t i = 0; i < 1500; ++i) bases.push_back(0x10000000 + (1499 - i) * 0x10000);
  sim::Machine m = ModuleMachine(120, bases);
  sim::RunResult r = RunThreadsift(m, {"-p", "120"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr(kListingHeader + ModuleRow(0x10000000, 0x2000, kNoVersion, Path(1499))));
  EXPECT_THAT(r.out, HasSubstr(ModuleRow(0x10000000 + 1499 * 0x10000, 0x2000, kNoVersion, Path(0)) + "\nThread 10"));
  std::string first = std::to_string(1024 * sizeof(void*));
  EXPECT_THAT(m.CallArgs("EnumProcessModules"), ElementsAre(first, std::to_string(1500 * sizeof(void*))));
}

}  // namespace

namespace {

// The loader's list, read in one pass, gives the same rows as the
// process-status calls a module; a list that loops, leaves the process or
// names a module without a file is not trusted: those calls read each
// module, and say what fails. A base name lies in its path's buffer, as the
// path's last part, and is read on its own only where it lies elsewhere,
// even one character past the path's end.
TEST(ModuleTable, LoaderListNamesTheModulesInOnePassOrTheCallsReadEach) {
  const size_t word = sizeof(void*);
  const size_t pathAt = word == 8 ? 0x48 : 0x24;
  const size_t nameAt = word == 8 ? 0x58 : 0x2C;
  const size_t baseAt = word == 8 ? 0x30 : 0x18;
  auto put = [](sim::Process& p, uint64_t block, size_t offset, uint64_t value, size_t size) {
    for (sim::MemoryBlock& b : p.memory) {
      if (b.address != block) continue;
      for (size_t i = 0; i < size; ++i) b.bytes[offset + i] = (unsigned char)(value >> (8 * i));
    }
  };
  auto get = [](sim::Process& p, uint64_t block, size_t offset, size_t size) {
    uint64_t value = 0;
    for (const sim::MemoryBlock& b : p.memory) {
      if (b.address != block) continue;
      for (size_t i = 0; i < size; ++i) value |= (uint64_t)b.bytes[offset + i] << (8 * i);
    }
    return value;
  };
  struct Case {
    const char* name;
    std::function<void(sim::Process&, const std::vector<uint64_t>&)> damage;
    bool calls;
    int nameReads;  // reads within the entries' texts past each path's start
  };
  const Case cases[] = {
      {"read whole", [](sim::Process&, const std::vector<uint64_t>&) {}, false, 0},
      {"base names apart from their paths",
       [&](sim::Process& p, const std::vector<uint64_t>& blocks) {
         for (size_t i = 2; i < blocks.size(); ++i) {
           uint64_t text = get(p, blocks[i], nameAt + word, word) - blocks[i];
           for (size_t k = 0; k < 0x40; ++k) put(p, blocks[i], 0x300 + k, get(p, blocks[i], text + k, 1), 1);
           put(p, blocks[i], nameAt + word, blocks[i] + 0x300, word);
         }
       },
       false, 3},
      {"base names one character past their paths' ends",
       [&](sim::Process& p, const std::vector<uint64_t>& blocks) {
         for (size_t i = 2; i < blocks.size(); ++i) put(p, blocks[i], nameAt, get(p, blocks[i], nameAt, 2) + 2, 2);
       },
       false, 3},
      {"a list that loops",
       [&](sim::Process& p, const std::vector<uint64_t>& blocks) { put(p, blocks[4], 0, blocks[2], word); }, true, 0},
      {"a link outside the process",
       [&](sim::Process& p, const std::vector<uint64_t>& blocks) {
         put(p, blocks[3], 0, 0x6f000000, word);
         p.memory.push_back(sim::MemoryBlock{0x6f000000, std::vector<unsigned char>(0x100), true, -1, {}});
       },
       true, 0},
      {"a module without a file",
       [&](sim::Process& p, const std::vector<uint64_t>& blocks) { put(p, blocks[3], pathAt, 0, 2); }, true, 1},
      {"a module at another base than the platform lists",
       [&](sim::Process& p, const std::vector<uint64_t>& blocks) { put(p, blocks[3], baseAt, 0x50000, word); }, true,
       0},
  };
  sim::Machine plain = ModuleMachine(120, {0x70000, 0x10000, 0x40000});
  const std::string expected = RunThreadsift(plain, {"-p", "120"}).out;
  for (const Case& c : cases) {
    sim::Machine m = ModuleMachine(120, {0x70000, 0x10000, 0x40000});
    sim::Process& p = *m.FindProcess(120);
    std::vector<uint64_t> blocks = p.AddLoaderData();
    c.damage(p, blocks);
    sim::RunResult r = RunThreadsift(m, {"-p", "120"});
    EXPECT_EQ(r.out, expected) << c.name;
    int nameReads = 0;
    for (const std::string& args : m.CallArgs("ReadProcessMemory")) {
      uint64_t at = std::stoull(args.substr(0, args.find(',')), nullptr, 16);
      for (size_t i = 2; i < blocks.size(); ++i) nameReads += at > blocks[i] + 0x100 && at < blocks[i] + 0x400 ? 1 : 0;
    }
    EXPECT_EQ(nameReads, c.nameReads) << c.name;
    for (const char* call : {"GetModuleInformation", "GetModuleBaseNameA", "GetModuleFileNameExA"}) {
      EXPECT_EQ(m.CallCount(call) > 0, c.calls) << c.name << " " << call;
    }
    EXPECT_EQ(m.OpenHandleCount(), 0) << c.name;
  }
}

}  // namespace
