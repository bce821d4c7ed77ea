// The library comes first: on the simulated platform <windows.h> turns the
// run-time's names (malloc, free, printf, time) into macros.
#include <nlohmann/json.hpp>

#include <windows.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/EnablePrivilege.h"
#include "threadsift/ModuleVersion.h"
#include "threadsift/ReportSink.h"
#include "threadsift/Utf8Text.h"

namespace {

// Members stay in the order they are set, so that a line reads like the report.
typedef nlohmann::ordered_json Json;

// The time in ISO 8601, UTC; null when the run-time cannot break it down.
Json IsoTime(time_t when) {
  const struct tm* parts = gmtime(&when);
  if (parts == NULL) return nullptr;
  // Room for any year the run-time can give.
  char text[64];
  snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", parts->tm_year + 1900, parts->tm_mon + 1,
           parts->tm_mday, parts->tm_hour, parts->tm_min, parts->tm_sec);
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

Json StepFailure(const char* step, long long code) {
  Json failure;
  failure["step"] = step;
  failure["code"] = code;
  return failure;
}

// The code of a step that was tried again until its tries ran out (the
// platform's "retry" error).
const int kRetriesRanOut = 1237;
// The code of a process this build does not walk ("not supported").
const int kNotWalked = 50;

void PrintThread(DWORD tid) { printf("thread %d (0x%x)", (int)tid, (unsigned)tid); }

const char* const kObjectKindNames[] = {"handle", "thread", "process", "mutex", "event", "semaphore", "timer"};

const char* WaitModeText(WaitMode mode) {
  switch (mode) {
    case WaitsForAll:
      return "all of: ";
    case WaitsForAny:
      return "any of: ";
    case WaitsForAllOrAny:
      return "all or any of: ";
    case WaitsForOne:
      break;
  }
  return "";
}

const char* WaitModeName(WaitMode mode) {
  switch (mode) {
    case WaitsForAll:
      return "all";
    case WaitsForAny:
      return "any";
    case WaitsForAllOrAny:
      return "all_or_any";
    case WaitsForOne:
      break;
  }
  return "one";
}

// An object by its name, or by its handle when it has none (or it is not
// known): event "Name", event (handle 0x1c).
void PrintObjectName(const WaitedObject& object) {
  printf("%s ", kObjectKindNames[object.kind]);
  if (!object.name.empty()) {
    printf("\"%s\"", AnsiFromWide(object.name.data(), object.name.size()).c_str());
  } else {
    printf("(handle 0x%x)", (unsigned)object.handle);
  }
}

// One object a thread waits for, as its wait line says it; one that may be
// a leftover of an earlier wait is said to be perhaps waited for.
void PrintWaitedObject(const WaitedObject& object, int pid) {
  if (object.uncertain) printf("perhaps ");
  switch (object.kind) {
    case HandleOnly:
      printf("handle 0x%x", (unsigned)object.handle);
      return;
    case ThreadObject:
      PrintThread(object.id);
      if (object.process != (DWORD)pid) printf(" of process %d (0x%x)", (int)object.process, (unsigned)object.process);
      printf(" to end");
      return;
    case ProcessObject:
      printf("process %d (0x%x) to end", (int)object.id, (unsigned)object.id);
      return;
    case MutexObject:
      PrintObjectName(object);
      if (object.abandoned) {
        printf(", which was abandoned");
      } else if (object.holderKnown) {
        printf(" held by ");
        PrintThread(object.holder);
        if (object.holderProcess != 0 && object.holderProcess != (DWORD)pid) {
          printf(" of process %d (0x%x)", (int)object.holderProcess, (unsigned)object.holderProcess);
        }
      } else {
        printf(", whose holder is unknown");
      }
      return;
    default:
      PrintObjectName(object);
      return;
  }
}

Json WaitedObjectJson(const WaitedObject& object) {
  Json member;
  char handle[32];
  snprintf(handle, sizeof(handle), "0x%x", (unsigned)object.handle);
  member["handle"] = handle;
  member["kind"] = kObjectKindNames[object.kind];
  if (object.uncertain) member["uncertain"] = true;
  if (object.kind == HandleOnly) return member;
  if (!object.name.empty()) member["name"] = Utf8FromWide(object.name.data(), object.name.size());
  if (object.kind == ThreadObject) {
    member["thread"] = object.id;
    member["process"] = object.process;
  }
  if (object.kind == ProcessObject) member["process"] = object.id;
  if (object.kind == MutexObject) {
    member["holder"] = object.holderKnown && !object.abandoned ? Json(object.holder) : Json(nullptr);
    if (object.holderKnown && object.holderProcess != 0) member["holder_process"] = object.holderProcess;
    member["abandoned"] = object.abandoned;
  }
  return member;
}

}  // namespace

// The JSON lines of a run: the run's members, which start every line; the
// failures said outside any process; the line of the process in hand, and
// which of its parts is in hand.
struct ReportSink::JsonLines {
  Json run = Json::object();
  Json runErrors = Json::array();
  Json process;
  bool inProcess = false;
  bool inThread = false;  // the last of the process's threads is in hand

  Json& ThreadInHand() { return process["threads"].back(); }
  Json& FrameInHand() { return ThreadInHand()["frames"].back(); }

  // Adds a failure to the frame's thread (naming the frame, when a frame is
  // open, and ending it), the thread, the process or the run, whichever is in
  // hand.
  void AddFailure(Json failure, bool* frameOpen) {
    if (!inProcess) {
      runErrors.push_back(failure);
      return;
    }
    Json& owner = inThread ? ThreadInHand() : process;
    if (*frameOpen) {
      failure["frame"] = owner["frames"].size() - 1;
      *frameOpen = false;
    }
    owner["errors"].push_back(failure);
  }

  void AddAllocationFailure(size_t bytes, bool* frameOpen) {
    Json failure = StepFailure("allocate", ERROR_NOT_ENOUGH_MEMORY);
    failure["bytes"] = bytes;
    AddFailure(failure, frameOpen);
  }
};

ReportSink::ReportSink(bool json, const char* version) {
  if (!json) return;
  json_.reset(new JsonLines);
  Json& run = json_->run;
  run["tool"] = "threadsift";
  run["version"] = version;
  run["pointer_width"] = (int)(sizeof(void*) * 8);
  run["computer"] = nullptr;
  run["time"] = nullptr;
}

ReportSink::~ReportSink() {}

void ReportSink::Banner(const char* banner) {
  if (!json_) printf("%s\n\n", banner);
}

void ReportSink::RunHeader(const char* computerName) {
  time_t now = time(NULL);
  if (!json_) {
    const char* when = ctime(&now);
    printf("Checking computer %s on %s\n", computerName, when != NULL ? when : "(unknown time)\n");
    return;
  }
  json_->run["computer"] = Utf8FromAnsi(computerName);
  json_->run["time"] = IsoTime(now);
}

void ReportSink::EndRun() {
  if (!json_ || json_->runErrors.empty()) return;
  Json line = json_->run;
  line["errors"] = json_->runErrors;
  WriteLine(line);
  json_->runErrors = Json::array();
}

std::string ReportSink::AddressText(Address value) const { return AddressDigits(value, width_); }

// JSON numbers lose 64-bit values: addresses are strings.
std::string ReportSink::HexText(Address value) const { return "0x" + AddressText(value); }

void ReportSink::BeginProcess(int pid) {
  width_ = kToolWidth;
  if (!json_) return;
  json_->process = json_->run;
  json_->process["pid"] = pid;
  json_->process["image"] = nullptr;
  json_->process["thread_count"] = nullptr;
  json_->process["modules"] = nullptr;
  json_->process["threads"] = nullptr;
  json_->inProcess = true;
}

void ReportSink::EndProcess(bool interrupted) {
  frameOpen_ = false;
  if (!json_) return;
  if (interrupted) json_->process["interrupted"] = true;
  WriteLine(json_->process);
  json_->process = Json();
  json_->inProcess = false;
  json_->inThread = false;
}

void ReportSink::ProcessHeader(int pid, const ImageText& image, DWORD threadCount) {
  if (!json_) {
    printf("Process %d (0x%0x) ", pid, (unsigned)pid);
    printf(" %S", image.c_str());
    printf(" %d thread(s)\n", (int)threadCount);
    return;
  }
  json_->process["image"] = Utf8FromWide(image.data(), image.size());
  json_->process["thread_count"] = threadCount;
}

void ReportSink::EmptyLine() {
  if (!json_) printf("\n");
}

void ReportSink::ProcessWidthIs(ProcessWidth width) {
  width_ = width;
  if (json_ && json_->inProcess && width != kToolWidth) json_->process["process_width"] = width == Width32 ? 32 : 64;
}

void ReportSink::AssumedWidth(int pid, ProcessWidth width) {
  if (!json_) {
    printf("Process %d (0x%x) is walked as a %d-bit process: its main image's header cannot be read\n", pid,
           (unsigned)pid, width == Width32 ? 32 : 64);
    return;
  }
  json_->process["process_width"] = width == Width32 ? 32 : 64;
  json_->process["process_width_assumed"] = true;
}

void ReportSink::WiderProcess(int pid) {
  if (!json_) {
    printf("Process %d (0x%x) is a 64-bit process: the 64-bit threadsift walks it\n", pid, (unsigned)pid);
    return;
  }
  json_->process["process_width"] = 64;
  json_->AddFailure(StepFailure("WalkProcess", kNotWalked), &frameOpen_);
}

void ReportSink::OtherMachine(int pid, WORD machine) {
  if (!json_) {
    printf("Process %d (0x%x) is built for machine 0x%04x, which threadsift does not walk\n", pid, (unsigned)pid,
           (unsigned)machine);
    return;
  }
  Json failure = StepFailure("WalkProcess", kNotWalked);
  failure["machine"] = machine;
  json_->AddFailure(failure, &frameOpen_);
}

void ReportSink::ModuleListing() {
  if (!json_) {
    printf("%s", ModuleListingHeader(width_));
    printf("%s", ModuleListingRule(width_));
    return;
  }
  json_->process["modules"] = Json::array();
}

void ReportSink::Module(Address base, DWORD size, const std::string& label, const char* path) {
  Address end = base + size - 1;
  if (!json_) {
    // A label shorter than a file version's (a maker's) is padded to that
    // width before it is set in its column.
    std::string shown = label;
    if (shown.size() < kFileVersionLabelWidth) shown.resize(kFileVersionLabelWidth, ' ');
    printf("0x%s  0x%s  0x%08x %15s  %s\n", AddressText(base).c_str(), AddressText(end).c_str(), (unsigned)size,
           shown.c_str(), path);
    return;
  }
  Json module;
  module["base_addr"] = HexText(base);
  module["end_addr"] = HexText(end);
  module["size"] = size;
  module["version"] = label == kNoVersionLabel ? Json(nullptr) : Json(Utf8FromAnsi(label.c_str()));
  module["filename"] = Utf8FromAnsi(path);
  json_->process["modules"].push_back(module);
}

void ReportSink::BeginThreads() {
  if (!json_) {
    printf("\n");
    return;
  }
  json_->process["threads"] = Json::array();
}

void ReportSink::Thread(DWORD tid, const ThreadFigures* times) {
  if (!json_) {
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
  json_->process["threads"].push_back(thread);
  json_->inThread = true;
}

void ReportSink::EndThread() {
  frameOpen_ = false;
  if (!json_) {
    printf("\n");
    return;
  }
  json_->inThread = false;
}

void ReportSink::BeginFrames() {
  if (json_ && json_->inThread) json_->ThreadInHand()["frames"] = Json::array();
}

void ReportSink::FrameStart(Address pc, const char* moduleName, Address moduleBase) {
  frameOpen_ = true;
  const char* name = moduleName;
  if (!json_) {
    printf("%s = ", AddressText(pc).c_str());
    if (name != NULL) printf("%12s!", name);
    return;
  }
  Json& frames = json_->ThreadInHand()["frames"];
  Json frame;
  frame["frame"] = frames.size();
  frame["offset"] = HexText(pc);
  frame["module"] = name != NULL ? Json(Utf8FromAnsi(name)) : Json(nullptr);
  frame["module_offset"] = name != NULL ? Json(HexText(pc - moduleBase)) : Json(nullptr);
  frame["function"] = nullptr;
  frame["function_offset"] = nullptr;
  frame["args"] = nullptr;
  frame["file"] = nullptr;
  frame["line"] = nullptr;
  frames.push_back(frame);
}

void ReportSink::FrameWithoutSymbol(Address pc) {
  frameOpen_ = false;
  if (!json_) {
    printf("%s()\n", AddressText(pc).c_str());
  }
}

void ReportSink::FrameSymbol(const char* name, const Address params[4], SymbolDisplacement displacement) {
  if (!json_) {
    std::string text = name;
    text += "(" + AddressText(params[0]) + "," + AddressText(params[1]) + "," + AddressText(params[2]) + "," +
            AddressText(params[3]) + ")";
    char scratch[32];
    if (displacement != 0) {
      sprintf(scratch, "%+d", (int)displacement);
      text += scratch;
    }
    printf("%s", text.c_str());
    return;
  }
  Json& frame = json_->FrameInHand();
  frame["function"] = Utf8FromAnsi(name);
  frame["function_offset"] = HexText((Address)displacement);
  Json args = Json::array();
  for (int i = 0; i < 4; ++i) args.push_back(HexText(params[i]));
  frame["args"] = args;
}

void ReportSink::FrameSource(const char* file, unsigned line) {
  if (!json_) {
    printf(" %s(%u)", file, line);
    return;
  }
  Json& frame = json_->FrameInHand();
  frame["file"] = Utf8FromAnsi(file);
  frame["line"] = line;
}

void ReportSink::FrameEnd() {
  frameOpen_ = false;
  if (!json_) printf("\n");
}

void ReportSink::FrameCutShort() {
  if (!frameOpen_) return;
  frameOpen_ = false;
  if (!json_) printf("\n");
}

void ReportSink::UnsteadyContext(DWORD tid, int reads) {
  if (!json_) {
    printf("Thread %d (0x%x): its 32-bit registers did not hold still in %d reads; its frames are not shown\n", (int)tid,
           (unsigned)tid, reads);
    return;
  }
  Json failure = StepFailure("Wow64GetThreadContext", kRetriesRanOut);
  failure["reads"] = reads;
  json_->AddFailure(failure, &frameOpen_);
}

void ReportSink::NoThirtyTwoBitRegisters(DWORD tid) {
  if (!json_) {
    printf("Thread %d (0x%x) is a thread of the platform's 64-bit layer: it has no 32-bit registers; its frames are "
           "not shown\n",
           (int)tid, (unsigned)tid);
    return;
  }
  Json failure = StepFailure("Wow64GetThreadContext", kNotWalked);
  failure["layer_thread"] = true;
  json_->AddFailure(failure, &frameOpen_);
}

void ReportSink::SectionWait(DWORD tid, Address section, const DWORD* holder, bool holderEnded, bool loaderLock) {
  if (!json_) {
    printf("Thread %d (0x%x) waits for critical section 0x%s", (int)tid, (unsigned)tid, AddressText(section).c_str());
    if (loaderLock) printf(" (the loader lock)");
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
  if (loaderLock) wait["loader_lock"] = true;
  json_->ThreadInHand()["waits_for"] = wait;
}

void ReportSink::HandleWaitLine(DWORD tid, int pid, const HandleWait& wait) {
  if (!json_) {
    printf("Thread %d (0x%x) waits for ", (int)tid, (unsigned)tid);
    printf("%s", WaitModeText(wait.mode));
    for (size_t i = 0; i < wait.objects.size(); ++i) {
      if (i > 0) printf("; ");
      PrintWaitedObject(wait.objects[i], pid);
    }
    printf("\n");
    return;
  }
  Json objects = Json::array();
  for (const WaitedObject& object : wait.objects) objects.push_back(WaitedObjectJson(object));
  Json members;
  members["mode"] = WaitModeName(wait.mode);
  members["objects"] = objects;
  json_->ThreadInHand()["waits_for"] = members;
}

void ReportSink::Deadlocks(const std::vector<std::vector<DWORD>>& cycles) {
  if (json_) {
    json_->process["deadlocks"] = cycles;
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

void ReportSink::ProcessSeparator() {
  if (!json_) printf("******************************************************************************\n");
}

void ReportSink::ProcessCount(int count) {
  if (!json_) printf("%d process(es) found\n", count);
}

void ReportSink::Interrupt() {
  if (!json_) printf("\n* Interrupt *\n");
}

void ReportSink::Failure(const char* step, int code, const char* name) {
  if (!json_) {
    frameOpen_ = false;  // its line ends the frame's
    PrintFailureLine(step, code, name);
    return;
  }
  Json failure = StepFailure(step, code);
  if (name != NULL) failure["name"] = Utf8FromAnsi(name);
  json_->AddFailure(failure, &frameOpen_);
}

void ReportSink::WalkThreadFailure(DWORD tid, int code) {
  if (!json_) {
    printf("WalkThread %d error %d\n", (int)tid, code);
    return;
  }
  json_->AddFailure(StepFailure("WalkThread", code), &frameOpen_);
}

void ReportSink::MissingThreads(int pid, int code) {
  if (!json_) {
    printf("[%d] EnumProcessThreads pid %d error %d\n", (int)GetCurrentProcessId(), pid, code);
    return;
  }
  json_->AddFailure(StepFailure("EnumProcessThreads", code), &frameOpen_);
}

void ReportSink::StatusFailure(const char* step, ULONG status, ULONG returned) {
  if (!json_) {
    printf("%s error %08x, ret_len: %u\n", step, (unsigned)status, (unsigned)returned);
    return;
  }
  Json failure = StepFailure(step, status);
  failure["ret_len"] = returned;
  json_->AddFailure(failure, &frameOpen_);
}

void ReportSink::SnapshotLimit(ULONG status) {
  if (!json_) {
    printf("ERROR: 16 MB maximum buffer size exceeded\n");
    return;
  }
  json_->AddFailure(StepFailure("NtQuerySystemInformation", status), &frameOpen_);
}

void ReportSink::AllocationFailure(size_t bytes) {
  if (!json_) {
    printf("FATAL: failed to allocate %d byte(s)\n", (int)bytes);
    return;
  }
  json_->AddAllocationFailure(bytes, &frameOpen_);
}

void ReportSink::VersionAllocationFailure(size_t bytes) {
  if (!json_) {
    printf("FATAL: allocate %u byte(s) failed\n", (unsigned)bytes);
    return;
  }
  json_->AddAllocationFailure(bytes, &frameOpen_);
}
