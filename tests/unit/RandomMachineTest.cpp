// Property test: many random machines (process, thread and module counts
// from none to past the tools' buffers, long names, long symbols, version
// resources of every shape, random platform failures), each run through
// both tools, and every run checked against the invariants of a sound end.
// Each machine comes from its own seed, printed on failure for replay.
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <set>

#include "Invariants.h"
#include "ToolRuns.h"
#include "simwin_api.h"

namespace {

const unsigned kFirstSeed = 20261207;
const int kMachines = 120;

class Dice {
 public:
  explicit Dice(unsigned seed) : rng_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(1, 100) <= percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& from) {
    return from[(size_t)Int(0, (int)from.size() - 1)];
  }
  // Text with conversion characters, backslashes and blanks among letters.
  std::string Text(int longest) {
    static const char kChars[] = "abcXYZ019 %sndx\\._-";
    std::string text((size_t)Int(1, longest), ' ');
    for (char& c : text) c = kChars[Int(0, (int)sizeof(kChars) - 2)];
    return text;
  }

 private:
  std::mt19937 rng_;
};

sim::VersionResource RandomVersion(Dice& d) {
  static const std::vector<std::string> kCompanies = {"Vantorel Products Inc.", "Other Corp.",
                                                      "vantorel products inc."};
  static const std::vector<std::string> kTables = {"040904E4", "040904E4", "040704B0"};
  sim::VersionResource r;
  r.hasRoot = !d.Chance(10);
  r.FileVersion((WORD)d.Int(0, 65535), (WORD)d.Int(0, 99), (WORD)d.Int(0, 9999), (WORD)d.Int(0, 65535));
  r.ProductVersion((WORD)d.Int(0, 65535), (WORD)d.Int(0, 99), (WORD)d.Int(0, 999));
  std::string table = "\\StringFileInfo\\" + d.Pick(kTables) + "\\";
  if (d.Chance(70)) r.String(table + "CompanyName", d.Pick(kCompanies));
  if (d.Chance(70)) r.String(table + "FileVersion", d.Text(40));
  return r;
}

void AddRandomModules(Dice& d, sim::Machine& m, sim::Process& p) {
  int count = d.Chance(3) ? d.Int(1020, 1100) : d.Int(0, 6);
  std::vector<uint64_t> bases;
  for (int i = 0; i < count; ++i) bases.push_back(0x10000000ull + (uint64_t)i * 0x200000);
  std::shuffle(bases.begin(), bases.end(), std::mt19937((unsigned)d.Int(0, 1 << 30)));
  for (uint64_t base : bases) {
    std::string path = "C:\\" + d.Text(d.Chance(10) ? 300 : 30);
    sim::Module& module = p.AddModule(base, (DWORD)d.Int(1, 0x1fffff), d.Text(d.Chance(10) ? 300 : 16), path);
    if (d.Chance(60)) m.SetVersionResource(path, RandomVersion(d));
    for (int s = d.Int(0, 3); s > 0; --s) {
      uint64_t at = base + (uint64_t)d.Int(0, 0x1000);
      std::string name = d.Text(d.Chance(5) ? 5000 : 40);
      sim::Symbol& symbol = module.AddSymbol(at, (uint64_t)d.Int(1, 0x400), name, d.Chance(50) ? d.Text(60) : name);
      if (d.Chance(50)) symbol.AddLine(at, d.Text(d.Chance(5) ? 400 : 30), (DWORD)d.Int(0, 100000));
    }
  }
}

uint64_t RandomPc(Dice& d, const sim::Process& p) {
  if (d.Chance(10) || p.modules.empty()) return d.Chance(50) ? 0 : (uint64_t)d.Int(0, 0x7fffffff);
  const sim::Module& module = p.modules[(size_t)d.Int(0, (int)p.modules.size() - 1)];
  if (!module.symbols.empty() && d.Chance(70)) return module.symbols.front().address + (uint64_t)d.Int(0, 0x20);
  return module.base + (uint64_t)d.Int(0, (int)module.size - 1);
}

void AddRandomThreads(Dice& d, sim::Process& p, DWORD* nextTid) {
  int count = d.Chance(3) ? d.Int(150, 300) : d.Int(0, 8);
  for (int i = 0; i < count; ++i) {
    sim::Thread& t = p.AddThread(*nextTid += 4);
    for (int f = d.Int(0, 8); f > 0; --f) t.AddFrame(RandomPc(d, p), (uint64_t)d.Int(0, 1 << 30));
    if (d.Chance(10)) t.suspendCount = d.Int(1, 3);
    if (d.Chance(5)) t.faultAtFrame = d.Int(0, 5);
    if (d.Chance(5)) t.endless = true;
  }
}

void AddRandomFailures(Dice& d, sim::Machine& m, std::set<std::string>* failed) {
  static const std::vector<std::string> kOps = {"OpenProcess",
                                                "SymInitialize",
                                                "SymSetOptions",
                                                "NtQuerySystemInformation",
                                                "calloc",
                                                "malloc",
                                                "EnumProcessModules",
                                                "GetModuleInformation",
                                                "GetModuleBaseNameA",
                                                "GetModuleFileNameExA",
                                                "SymLoadModule",
                                                "SymLoadModule64",
                                                "GetFileVersionInfoA",
                                                "VerQueryValueA",
                                                "NtOpenThread",
                                                "SuspendThread",
                                                "GetThreadContext",
                                                "ResumeThread",
                                                "UnDecorateSymbolName",
                                                "SymGetSymFromAddr",
                                                "SymGetSymFromAddr64",
                                                "SymCleanup",
                                                "CloseHandle",
                                                "SetConsoleCtrlHandler",
                                                "EnumProcesses",
                                                "GetComputerNameA",
                                                "RtlQueryProcessDebugInformation",
                                                "RtlDestroyQueryDebugBuffer",
                                                "RtlCreateQueryDebugBuffer"};
  for (int n = d.Chance(40) ? 0 : d.Int(1, 3); n > 0; --n) {
    const std::string& op = d.Pick(kOps);
    failed->insert(op);
    if (op.rfind("Nt", 0) == 0 || op.rfind("Rtl", 0) == 0) {
      m.FailStatus(op, STATUS_ACCESS_DENIED, d.Int(0, 6));
    } else {
      m.Fail(op, ERROR_ACCESS_DENIED, d.Int(0, 30));
    }
  }
}

sim::Machine RandomMachine(Dice& d, std::set<std::string>* failed) {
  sim::Machine m;
  m.SetMajorVersion(d.Chance(30) ? 4 : 5);
  m.SetComputerName(d.Chance(5) ? d.Text(20) : "BOX");
  DWORD nextTid = 1000;
  std::vector<DWORD> ids;
  for (int i = d.Chance(5) ? 0 : d.Int(1, 10); i > 0; --i) {
    DWORD pid = (DWORD)d.Int(1, 100000) * 4;
    if (m.FindProcess(pid) != nullptr) continue;
    sim::Process& p = d.Chance(5) ? m.AddUnnamedProcess(pid) : m.AddProcess(pid, u"app.exe");
    if (d.Chance(10)) p.name = std::u16string((size_t)d.Int(1, 400), u'w');
    AddRandomModules(d, m, p);
    AddRandomThreads(d, p, &nextTid);
    for (int l = d.Chance(5) ? d.Int(500, 3000) : d.Int(0, 4); l > 0; --l) {
      p.locks.push_back(sim::Lock{(uint64_t)d.Int(0, 0x7fffffff), (WORD)d.Int(0, 3), (uint64_t)d.Int(0, 1 << 20),
                                  (DWORD)d.Int(0, 9), (DWORD)d.Int(0, 9), 0, 0, 0});
    }
    p.lockListMissing = d.Chance(5);
    ids.push_back(pid);
  }
  if (d.Chance(90)) AddSelf(m);
  if (d.Chance(10)) {
    for (DWORD extra = 1; extra <= (DWORD)d.Int(1000, 1500); ++extra) ids.push_back(extra * 4 + 1);
    m.SetProcessIds(ids);
  }
  AddRandomFailures(d, m, failed);
  return m;
}

std::map<DWORD, int> SuspendCounts(const sim::Machine& m) {
  std::map<DWORD, int> counts;
  for (const sim::Process& p : m.processes) {
    for (const sim::Thread& t : p.threads) counts[t.id] = t.suspendCount;
  }
  return counts;
}

std::string SomePid(Dice& d, const sim::Machine& m) {
  if (m.processes.empty() || d.Chance(10)) return std::to_string(d.Int(1, 1000));
  return std::to_string(m.processes[(size_t)d.Int(0, (int)m.processes.size() - 1)].id);
}

TEST(RandomMachines, BothToolsEndSoundlyOnEveryMachine) {
  for (int i = 0; i < kMachines; ++i) {
    unsigned seed = kFirstSeed + (unsigned)i;
    SCOPED_TRACE("seed " + std::to_string(seed));
    Dice d(seed);
    std::set<std::string> failed;
    sim::Machine m = RandomMachine(d, &failed);
    std::map<DWORD, int> counts = SuspendCounts(m);
    std::vector<std::string> args = {"-p", d.Chance(50) ? "*" : SomePid(d, m)};
    if (d.Chance(20)) args.insert(args.end(), {"-t", std::to_string(d.Int(1000, 1100))});
    sim::RunResult r = RunThreadsift(m, args);
    ExpectSoundEnd(m, r, "threadsift " + ::testing::PrintToString(args), failed, counts);

    std::string pid = SomePid(d, m);
    r = RunLatchsift(m, {"-p", pid});
    ExpectSoundEnd(m, r, "latchsift -p " + pid, failed, counts);
    if (::testing::Test::HasFailure()) break;
  }
  std::cout << "random machines: " << kMachines << " tried, seeds " << kFirstSeed << " to "
            << kFirstSeed + kMachines - 1 << "\n";
}

}  // namespace
