// The library comes first: on the simulated platform <windows.h> turns the
// run-time's names (malloc, free, printf, time) into macros.
#include <nlohmann/json.hpp>

#include <windows.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/EnablePrivilege.h"
#include "threadsift/Interrupt.h"
#include "threadsift/ModuleTable.h"
#include "threadsift/ModuleVersion.h"
#include "threadsift/ReportSink.h"
#include "threadsift/Utf8Text.h"

namespace {

// Members stay in the order they are set, so that a line reads like the report.
typedef nlohmann::ordered_json Json;

bool g_json = false;
Json g_run;        // the run's members, which start every line
Json g_runErrors;  // failures said outside any process
Json g_process;    // the line of the process in hand
bool g_inProcess = false;
bool g_inThread = false;  // the last of the process's threads is in hand
bool g_inFrame = false;   // the last of its frames has not ended

// An address (or a displacement or offset) as a zero-padded hexadecimal
// string as wide as the build's addresses: JSON numbers lose 64-bit values.
std::string HexText(Address value) {
  char text[32];
  sprintf(text, "0x" THREADSIFT_ADDRESS, (PrintedAddress)value);
  return text;
}

// The time in ISO 8601, UTC; null when the run-time cannot break it down.
Json IsoTime(time_t when) {
  const struct tm* parts = gmtime(&when);
  if (parts == NULL) return nullptr;
  char text[32];
  sprintf(text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts->tm_year + 1900, parts->tm_mon + 1, parts->tm_mday,
          parts->tm_hour, parts->tm_min, parts->tm_sec);
  return text;
}

// One line of JSON. Text that is not UTF-8 after all is replaced, never
// thrown over. Each line is written out at once, so that a reader of a
// sweep gets every process as soon as it is walked, and a run that is cut
// short leaves whole lines.
void WriteLine(const Json& line) {
  std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  printf("%s\n", text.c_str());
  fflush(stdout);
}

Json& ThreadInHand() { return g_process["threads"].back(); }

Json& FrameInHand() { return ThreadInHand()["frames"].back(); }

// Adds a failure to the frame's thread (naming the frame), the thread, the
// process or the run, whichever is in hand.
void AddFailure(Json failure) {
  if (!g_inProcess) {
    g_runErrors.push_back(failure);
    return;
  }
  Json& owner = g_inThread ? ThreadInHand() : g_process;
  if (g_inFrame) {
    failure["frame"] = owner["frames"].size() - 1;
    g_inFrame = false;
  }
  owner["errors"].push_back(failure);
}

Json StepFailure(const char* step, long long code) {
  Json failure;
  failure["step"] = step;
  failure["code"] = code;
  return failure;
}

void AddAllocationFailure(size_t bytes) {
  Json failure = StepFailure("allocate", ERROR_NOT_ENOUGH_MEMORY);
  failure["bytes"] = bytes;
  AddFailure(failure);
}

void PrintThread(DWORD tid) { printf("thread %d (0x%x)", (int)tid, (unsigned)tid); }

}  // namespace

void StartReport(bool json, const char* banner, const char* version) {
  g_json = json;
  if (!json) {
    printf("%s\n\n", banner);
    return;
  }
  g_run = Json::object();
  g_run["tool"] = "threadsift";
  g_run["version"] = version;
  g_run["pointer_width"] = (int)(sizeof(void*) * 8);
  g_run["computer"] = nullptr;
  g_run["time"] = nullptr;
  g_runErrors = Json::array();
}

void ReportRunHeader(const char* computerName) {
  time_t now = time(NULL);
  if (!g_json) {
    const char* when = ctime(&now);
    printf("Checking computer %s on %s\n", computerName, when != NULL ? when : "(unknown time)\n");
    return;
  }
  g_run["computer"] = Utf8FromAnsi(computerName);
  g_run["time"] = IsoTime(now);
}

void EndRunReport() {
  if (!g_json || g_runErrors.empty()) return;
  Json line = g_run;
  line["errors"] = g_runErrors;
  WriteLine(line);
  g_runErrors = Json::array();
}

void BeginProcessReport(int pid) {
  if (!g_json) return;
  g_process = g_run;
  g_process["pid"] = pid;
  g_process["image"] = nullptr;
  g_process["thread_count"] = nullptr;
  g_process["modules"] = nullptr;
  g_process["threads"] = nullptr;
  g_inProcess = true;
}

void EndProcessReport() {
  if (!g_json) return;
  if (g_interrupted != 0) g_process["interrupted"] = true;
  WriteLine(g_process);
  g_process = Json();
  g_inProcess = false;
  g_inThread = false;
  g_inFrame = false;
}

void ReportProcessHeader(int pid, const ImageText& image, DWORD threadCount) {
  if (!g_json) {
    printf("Process %d (0x%0x) ", pid, (unsigned)pid);
    printf(" %S", image.c_str());
    printf(" %d thread(s)\n", (int)threadCount);
    return;
  }
  g_process["image"] = Utf8FromWide(image.data(), image.size());
  g_process["thread_count"] = threadCount;
}

void ReportEmptyLine() {
  if (!g_json) printf("\n");
}

void ReportModuleListing() {
  if (!g_json) {
    printf("%s", kModuleListingHeader);
    printf("%s", kModuleListingRule);
    return;
  }
  g_process["modules"] = Json::array();
}

void ReportModule(Address base, DWORD size, const std::string& label, const char* path) {
  Address end = base + size - 1;
  if (!g_json) {
    printf("0x" THREADSIFT_ADDRESS "  0x" THREADSIFT_ADDRESS "  0x%08x %15s  %s\n", (PrintedAddress)base,
           (PrintedAddress)end, (unsigned)size, label.c_str(), path);
    return;
  }
  Json module;
  module["base_addr"] = HexText(base);
  module["end_addr"] = HexText(end);
  module["size"] = size;
  module["version"] = label == kNoVersionLabel ? Json(nullptr) : Json(Utf8FromAnsi(label.c_str()));
  module["filename"] = Utf8FromAnsi(path);
  g_process["modules"].push_back(module);
}

void BeginThreadsReport() {
  if (!g_json) {
    printf("\n");
    return;
  }
  g_process["threads"] = Json::array();
}

void ReportThread(DWORD tid, const ThreadFigures* times) {
  if (!g_json) {
    if (times == NULL) {
      printf("Thread %d (0x%0x)\n", (int)tid, (unsigned)tid);
      return;
    }
    printf("Thread %d (0x%0x)  cpu %u.%03u s  ", (int)tid, (unsigned)tid, (unsigned)(times->milliseconds / 1000),
           (unsigned)(times->milliseconds % 1000));
    if (times->ended) {
      printf("ended\n");
    } else {
      printf("busy %u%%\n", times->busy);
    }
    return;
  }
  Json thread;
  thread["thread_id"] = tid;
  if (times != NULL) {
    thread["cpu_ms"] = times->milliseconds;
    thread["busy_percent"] = times->ended ? Json(nullptr) : Json(times->busy);
    thread["ended"] = times->ended;
  }
  thread["frames"] = nullptr;
  g_process["threads"].push_back(thread);
  g_inThread = true;
}

void EndThreadReport() {
  if (!g_json) {
    printf("\n");
    return;
  }
  g_inThread = false;
  g_inFrame = false;
}

void BeginFramesReport() {
  if (g_json && g_inThread) ThreadInHand()["frames"] = Json::array();
}

void ReportFrameStart(Address pc) {
  int module = FindModule(pc);
  const char* name = module >= 0 ? g_moduleTable.baseNames[module].c_str() : NULL;
  if (!g_json) {
    printf(THREADSIFT_ADDRESS " = ", (PrintedAddress)pc);
    if (name != NULL) printf("%12s!", name);
    return;
  }
  Json& frames = ThreadInHand()["frames"];
  Json frame;
  frame["frame"] = frames.size();
  frame["offset"] = HexText(pc);
  frame["module"] = name != NULL ? Json(Utf8FromAnsi(name)) : Json(nullptr);
  frame["module_offset"] = name != NULL ? Json(HexText(pc - g_moduleTable.bases[module])) : Json(nullptr);
  frame["function"] = nullptr;
  frame["function_offset"] = nullptr;
  frame["args"] = nullptr;
  frame["file"] = nullptr;
  frame["line"] = nullptr;
  frames.push_back(frame);
  g_inFrame = true;
}

void ReportFrameWithoutSymbol(Address pc) {
  if (!g_json) {
    printf(THREADSIFT_ADDRESS "()\n", (PrintedAddress)pc);
    return;
  }
  g_inFrame = false;
}

void ReportFrameSymbol(const char* name, const Address params[4], SymbolDisplacement displacement) {
  if (!g_json) {
    std::string text = name;
    char scratch[80];
    sprintf(scratch, "(" THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS "," THREADSIFT_ADDRESS ")",
            (PrintedAddress)params[0], (PrintedAddress)params[1], (PrintedAddress)params[2], (PrintedAddress)params[3]);
    text += scratch;
    if (displacement != 0) {
      sprintf(scratch, "%+d", (int)displacement);
      text += scratch;
    }
    printf("%s", text.c_str());
    return;
  }
  Json& frame = FrameInHand();
  frame["function"] = Utf8FromAnsi(name);
  frame["function_offset"] = HexText((Address)displacement);
  Json args = Json::array();
  for (int i = 0; i < 4; ++i) args.push_back(HexText(params[i]));
  frame["args"] = args;
}

void ReportFrameSource(const char* file, unsigned line) {
  if (!g_json) {
    printf(" %s(%u)", file, line);
    return;
  }
  Json& frame = FrameInHand();
  frame["file"] = Utf8FromAnsi(file);
  frame["line"] = line;
}

void ReportFrameEnd() {
  if (!g_json) {
    printf("\n");
    return;
  }
  g_inFrame = false;
}

void ReportSectionWait(DWORD tid, Address section, const DWORD* holder, bool holderEnded) {
  if (!g_json) {
    printf("Thread %d (0x%x) waits for critical section 0x" THREADSIFT_ADDRESS, (int)tid, (unsigned)tid,
           (PrintedAddress)section);
    if (holder == NULL) {
      printf(" whose holder is unknown\n");
      return;
    }
    printf(" held by ");
    PrintThread(*holder);
    if (holderEnded) printf(", which has ended");
    printf("\n");
    return;
  }
  Json wait;
  wait["critical_section"] = HexText(section);
  wait["holder"] = holder != NULL ? Json(*holder) : Json(nullptr);
  wait["holder_ended"] = holderEnded;
  ThreadInHand()["waits_for"] = wait;
}

void ReportDeadlocks(const std::vector<std::vector<DWORD>>& cycles) {
  if (g_json) {
    g_process["deadlocks"] = cycles;
    return;
  }
  if (cycles.empty()) return;
  for (const std::vector<DWORD>& cycle : cycles) {
    printf("Deadlock: ");
    for (DWORD t : cycle) {
      PrintThread(t);
      printf(" -> ");
    }
    PrintThread(cycle[0]);
    printf("\n");
  }
  printf("\n");
}

void ReportProcessSeparator() {
  if (!g_json) printf("******************************************************************************\n");
}

void ReportProcessCount(int count) {
  if (!g_json) printf("%d process(es) found\n", count);
}

void ReportInterrupt() {
  if (!g_json) printf("\n* Interrupt *\n");
}

void ReportFailure(const char* step, int code, const char* name) {
  if (!g_json) {
    PrintFailureLine(step, code, name);
    return;
  }
  Json failure = StepFailure(step, code);
  if (name != NULL) failure["name"] = Utf8FromAnsi(name);
  AddFailure(failure);
}

void ReportWalkThreadFailure(DWORD tid, int code) {
  if (!g_json) {
    printf("WalkThread %d error %d\n", (int)tid, code);
    return;
  }
  AddFailure(StepFailure("WalkThread", code));
}

void ReportMissingThreads(int pid, int code) {
  if (!g_json) {
    printf("[%d] EnumProcessThreads pid %d error %d\n", (int)GetCurrentProcessId(), pid, code);
    return;
  }
  AddFailure(StepFailure("EnumProcessThreads", code));
}

void ReportStatusFailure(const char* step, ULONG status, ULONG returned) {
  if (!g_json) {
    printf("%s error %08x, ret_len: %u\n", step, (unsigned)status, (unsigned)returned);
    return;
  }
  Json failure = StepFailure(step, status);
  failure["ret_len"] = returned;
  AddFailure(failure);
}

void ReportSnapshotLimit(ULONG status) {
  if (!g_json) {
    printf("ERROR: 16 MB maximum buffer size exceeded\n");
    return;
  }
  AddFailure(StepFailure("NtQuerySystemInformation", status));
}

void ReportAllocationFailure(size_t bytes) {
  if (!g_json) {
    printf("FATAL: failed to allocate %d byte(s)\n", (int)bytes);
    return;
  }
  AddAllocationFailure(bytes);
}

void ReportVersionAllocationFailure(size_t bytes) {
  if (!g_json) {
    printf("FATAL: allocate %u byte(s) failed\n", (unsigned)bytes);
    return;
  }
  AddAllocationFailure(bytes);
}
