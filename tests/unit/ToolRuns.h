#ifndef TESTS_UNIT_TOOL_RUNS_H
#define TESTS_UNIT_TOOL_RUNS_H

#include <map>
#include <string>
#include <vector>

#include "Machine.h"
#include "simwin_api.h"
#include "Run.h"
#include "threadsift/Version.h"

int ThreadsiftMain(int argc, char** argv);
int LatchsiftMain(int argc, char** argv);

inline sim::RunResult RunThreadsift(sim::Machine& m, const std::vector<std::string>& args) {
  return sim::RunMain(m, ThreadsiftMain, "threadsift", args);
}
inline sim::RunResult RunLatchsift(sim::Machine& m, const std::vector<std::string>& args) {
  return sim::RunMain(m, LatchsiftMain, "latchsift", args);
}

// Texts every run prints, as the default machine makes them.
inline const std::string kBanner = "threadsift v" THREADSIFT_VERSION " - Copyright (c) 2026 the threadsift developers\n\n";
inline const std::string kRunHeader = "Checking computer BUILDHOST on Sun Sep 09 01:46:40 2001\n\n";
inline const std::string kUsage = "Usage: threadsift -p <pid> [-t <tid>]\n";
inline const std::string kLatchBanner = "latchsift v1.0 - Copyright (c) 2026 the threadsift developers\n\n";
inline const std::string kLatchUsage = "Usage: latchsift -p <pid>\n";
inline const std::string kSeparator = std::string(78, '*') + "\n";
inline const std::string kListingHeader32 =
    "    Base        End         Size        Version         Path\n" + std::string(78, '=') + "\n";
inline const std::string kListingHeader64 =
    "    Base                End                 Size        Version         Path\n" + std::string(94, '=') + "\n";
inline const std::string kListingHeader = sizeof(void*) == 8 ? kListingHeader64 : kListingHeader32;

// The 64-bit build prints 16-digit addresses and calls the "64" routines.
inline constexpr bool kWide = sizeof(void*) == 8;
inline const std::string kStackWalkOp = kWide ? "StackWalk64" : "StackWalk";

// An address as the report prints it: 8 hexadecimal digits, 16 on 64-bit.
inline std::string Hex(uint64_t value) {
  char text[32];
#if defined(_WIN64)
  snprintf(text, sizeof(text), "%016llx", (unsigned long long)value);
#else
  snprintf(text, sizeof(text), "%08llx", (unsigned long long)value);
#endif
  return text;
}

// The argument group of a frame line.
inline std::string Params(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
  return "(" + Hex(a) + "," + Hex(b) + "," + Hex(c) + "," + Hex(d) + ")";
}

// A row of the module listing.
inline std::string ModuleRow(uint64_t base, unsigned size, const std::string& label, const std::string& path) {
  char text[64];
  snprintf(text, sizeof(text), "  0x%08x %15s  ", size, label.c_str());
  return "0x" + Hex(base) + "  0x" + Hex(base + size - 1) + text + path + "\n";
}

// The calls made between each SuspendThread and the ResumeThread after it.
inline std::map<std::string, int> CallsWhileSuspended(const sim::Machine& m) {
  std::map<std::string, int> whileSuspended;
  bool suspended = false;
  for (const std::string& op : m.CallSequence()) {
    if (op == "ResumeThread") suspended = false;
    if (suspended) ++whileSuspended[op];
    if (op == "SuspendThread") suspended = true;
  }
  return whileSuspended;
}

// The tool's own process, which stands last in the snapshot as it does on a
// real machine.
inline void AddSelf(sim::Machine& m) { m.AddProcess(4000, u"threadsift.exe").AddThread(4004); }

// Process 120, app.exe, with threads 10, 20 and 30, and the tool itself.
inline sim::Machine AppMachine() {
  sim::Machine m;
  sim::Process& p = m.AddProcess(120, u"app.exe");
  for (DWORD tid : {10u, 20u, 30u}) p.AddThread(tid);
  AddSelf(m);
  return m;
}
inline const std::string kHeader120 = "Process 120 (0x78)  app.exe 3 thread(s)";
inline const std::string kSelfHeader = "Process 4000 (0xfa0)  threadsift.exe 1 thread(s)";

// The report of a process: header, module listing (rows as given) and the
// threads, none of which has a stack.
inline std::string ProcessReport(const std::string& header, const std::vector<unsigned>& threads,
                                 const std::string& rows = "") {
  std::string text = header + "\n\n" + kListingHeader + rows + "\n";
  char line[64];
  for (unsigned id : threads) {
    snprintf(line, sizeof(line), "Thread %u (0x%x)\n\n", id, id);
    text += line;
  }
  return text;
}

#endif
