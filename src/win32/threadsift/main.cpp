#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/EnablePrivilege.h"
#include "common/OptionText.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/base/Interrupt.h"
#include "threadsift/process/ProcessSession.h"
#include "threadsift/process/ProcessWalk.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/base/ScopedHandle.h"
#include "threadsift/pictures/SampleFileForm.h"
#include "threadsift/sampling/StackSampler.h"
#include "threadsift/Version.h"
#include "threadsift/watch/ProcessWatch.h"
#include "threadsift/watch/WatchConditions.h"

namespace {

const char kBanner[] = "threadsift v" THREADSIFT_VERSION " - Copyright (c) 2026 the threadsift developers";
// The version as the banner gives it, for the -j report.
const char kVersion[] = THREADSIFT_VERSION;
const char kDebugPrivilege[] = "SeDebugPrivilege";
// The longest interval over which -c measures how busy each thread is.
const int kMaxCpuInterval = 60000;
// Every access right to an event as NT 4.0 and 2000 define it.
const DWORD kEventAllAccess = 0x1F0003;

const char kUsageLine[] = "Usage: threadsift -p <pid> [-t <tid>]\n";
const char kOptionList[] =
    "  -p <pid>      the process to walk; * walks every process\n"
    "  -t <tid>      walk only this thread's stack; * walks all (the default)\n"
    "  -e <name>     after a complete report, signal the existing event <name>\n"
    "  -c <ms>       each thread's processor time, and its share of one processor over <ms> (1 to 60000)\n"
    "  -s <samples>  sample the stacks <samples> times (1 to 1000000) and print them folded\n"
    "  -i <ms>       with -s: milliseconds between samples (1 to 10000; 10 when not given)\n"
    "  -o <file>     with -s: write the samples to <file>, in the form its name ends with: .svg (a flame\n"
    "                graph page), .speedscope.json (each thread's samples in time order), .folded or .txt;\n"
    "                may be given more than once, one file a form\n"
    "  -j            one JSON object a process instead of the text report\n"
    "  -w            who waits for whom after each waiting thread, and the deadlocks they make\n"
    "  -g            each distinct stack once, under the threads that share it; idle threads last\n"
    "  -a <conds>    wait until a condition holds, then report: hung[:<ms>] (no window answers),\n"
    "                deadlock[:<ms>] (a cycle of -w stays), cpu:<percent>[:<s>] (busier in each second)\n"
    "  -v            print the banner and stop\n"
    "  -h, -?        print the banner and the usage line and stop\n"
    "  --help        print the banner, the usage line and this list, and stop\n";

// Prints the message (if any) and the usage line, then ends the process.
[[noreturn]] void Usage(const char* message) { ExitWithUsage(message, kUsageLine); }

// Reads the value of "-p" or "-t" at argv[*index + 1]: "*" is -1, anything
// else a number; a missing or unreadable value ends the process through Usage.
int ReadIdValue(int argc, char** argv, int* index, const char* missing, const char* invalid) {
  if (*index + 1 >= argc) Usage(missing);
  const char* value = argv[++*index];
  if (strcmp(value, "*") == 0) return -1;
  int id = 0;
  if (!ReadOptionNumber(value, &id)) Usage(invalid);
  return id;
}

// Reads the number after an option at argv[*index + 1], which must lie in
// [low, high]; a missing or unfit value ends the process through Usage.
int ReadBoundedValue(int argc, char** argv, int* index, int low, int high, const char* missing, const char* invalid) {
  if (*index + 1 >= argc) Usage(missing);
  int value = 0;
  if (!ReadOptionNumber(argv[++*index], &value) || value < low || value > high) Usage(invalid);
  return value;
}

// Adds a file for -o: its name must end in one of the forms' endings, and
// no other file of the run may be in the same form (two names for one file
// would be written over each other).
bool AddOutputPath(const char* path, std::vector<const char*>* paths) {
  SampleFileForm form;
  if (!SampleFileFormOf(path, &form)) return false;
  for (const char* other : *paths) {
    SampleFileForm taken;
    if (SampleFileFormOf(other, &taken) && taken == form) return false;
  }
  paths->push_back(path);
  return true;
}

// Opens the named event, which another program created, and signals it.
// False after saying a line.
bool SignalEvent(ReportSink& report, const char* name) {
  // The waiter reads the report as soon as it learns that it is complete:
  // all of it has to be written out by then, not left in the run-time's buffer.
  fflush(stdout);
  HANDLE event = OpenEventA(kEventAllAccess, FALSE, name);
  if (event == NULL) {
    report.Failure("OpenEvent", (int)GetLastError(), name);
    return false;
  }
  ScopedHandle eventOwner(event);
  if (!SetEvent(event)) {
    report.Failure("SetEvent", (int)GetLastError());
    return false;
  }
  return true;
}

// What the options ask for.
struct RunSettings {
  int pid;
  int tid;
  const char* eventName;
  int cpuInterval;
  int samples;
  int sampleInterval;
  std::vector<const char*> outputPaths;
  bool waits;
  bool grouped;
  bool json;
  const WatchConditions* conditions;  // -a, or null
};

// The run after the options are read; its exit status.
int Run(ReportSink& report, const RunSettings& run) {
  auto failure = [&](const char* step, int code, const char* name) { report.Failure(step, code, name); };
  if (!EnablePrivilege(kDebugPrivilege, failure)) {
    report.Failure("GetPrivilege", (int)GetLastError(), kDebugPrivilege);
    return 1;
  }
  char computerName[16];
  DWORD size = sizeof(computerName);
  if (!GetComputerNameA(computerName, &size)) {
    report.Failure("GetComputerName", (int)GetLastError());
    return 1;
  }
  int pid = run.pid;
  if (run.conditions != NULL) {
    WatchOutcome outcome = WatchProcess(report, run.pid, *run.conditions, &pid);
    if (outcome == WatchInterruptedOutcome) {
      report.Interrupt();
      return 0;
    }
    if (outcome != ConditionHeldOutcome) return 1;
  }
  // The report's time is the time it was made, after any watch.
  report.RunHeader(computerName);
  // -t is ignored with -p *, whichever process a watch of every one found.
  int tid = run.pid == kAllProcesses ? kAllThreads : run.tid;
  WalkOptions options = {tid, run.cpuInterval, run.waits, run.grouped || run.json, NULL, NULL};
  if (!BindLineLookup(report, &options.lineLookup)) return 1;
  options.nameQuery = FindThreadNameQuery();

  bool done = false;
  if (run.samples != 0) {
    int interval = run.sampleInterval != 0 ? run.sampleInterval : kDefaultSampleInterval;
    SamplingRequest request = {run.tid, run.samples, interval, run.outputPaths, kVersion, options.lineLookup};
    done = SampleProcess(report, pid, request);
  } else if (pid == kAllProcesses) {
    done = WalkAllProcesses(report, options);
  } else {
    // A watch of every process reports the one whose condition held.
    done = WalkProcess(report, pid, options);
  }
  if (!done) return 1;
  if (g_interrupted != 0) {
    report.Interrupt();
    return 0;
  }
  if (run.eventName != NULL && !SignalEvent(report, run.eventName)) return 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int pid = 0;
  int tid = kAllThreads;
  const char* eventName = NULL;
  int cpuInterval = 0;
  int samples = 0;
  int sampleInterval = 0;
  std::vector<const char*> outputPaths;
  bool waits = false;
  bool grouped = false;
  bool json = false;
  bool watching = false;
  WatchConditions conditions;

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsHelpOption(arg)) {
      ExitWithHelp(kBanner, kUsageLine);
    } else if (IsOptionListOption(arg)) {
      ExitWithOptionList(kBanner, kUsageLine, kOptionList);
    } else if (strcmp(arg, "-v") == 0) {
      printf("%s\n\n", kBanner);
      return 0;
    } else if (strcmp(arg, "-p") == 0) {
      pid = ReadIdValue(argc, argv, &i, "Option -p requires argument.", "Invalid argument for -p option.");
    } else if (strcmp(arg, "-t") == 0) {
      tid = ReadIdValue(argc, argv, &i, "Option -t requires argument.", "Invalid argument for -t option.");
    } else if (strcmp(arg, "-c") == 0) {
      cpuInterval = ReadBoundedValue(argc, argv, &i, 1, kMaxCpuInterval, "Option -c requires argument.",
                                     "Invalid argument for -c option.");
    } else if (strcmp(arg, "-s") == 0) {
      samples = ReadBoundedValue(argc, argv, &i, 1, kMaxSamples, "Option -s requires argument.",
                                 "Invalid argument for -s option.");
    } else if (strcmp(arg, "-i") == 0) {
      sampleInterval = ReadBoundedValue(argc, argv, &i, 1, kMaxSampleInterval, "Option -i requires argument.",
                                        "Invalid argument for -i option.");
    } else if (strcmp(arg, "-o") == 0) {
      if (i + 1 >= argc) Usage("Option -o requires argument.");
      if (!AddOutputPath(argv[++i], &outputPaths)) {
        Usage("Option -o takes a file name ending in .svg, .speedscope.json, .folded or .txt, one a form.");
      }
    } else if (strcmp(arg, "-w") == 0) {
      waits = true;
    } else if (strcmp(arg, "-g") == 0) {
      grouped = true;
    } else if (strcmp(arg, "-j") == 0) {
      json = true;
    } else if (strcmp(arg, "-a") == 0) {
      if (i + 1 >= argc) Usage("Option -a requires argument.");
      if (!ReadWatchConditions(argv[++i], &conditions)) Usage("Invalid argument for -a option.");
      watching = true;
    } else if (strcmp(arg, "-e") == 0) {
      if (i + 1 >= argc) Usage("Option -e requires argument.");
      eventName = argv[++i];
    } else {
      Usage(ComposeUnrecognisedOption(arg).c_str());
    }
  }
  if (pid == 0) Usage("Option -p required.");
  if (tid == 0) Usage("Option -t requires a valid thread ID or * for all threads.");
  // Sampling shows one process's stacks; it neither sweeps nor lists threads.
  if (samples == 0 && sampleInterval != 0) Usage("Option -i requires -s.");
  if (samples == 0 && !outputPaths.empty()) Usage("Option -o requires -s.");
  if (samples != 0 && pid == kAllProcesses) Usage("Option -s requires a single process ID.");
  if (samples != 0 && cpuInterval != 0) Usage("Option -c cannot be used with -s.");
  if (samples != 0 && waits) Usage("Option -w cannot be used with -s.");
  if (samples != 0 && grouped) Usage("Option -g cannot be used with -s.");
  // The folded stacks are the sampling's report: it has no JSON form.
  if (samples != 0 && json) Usage("Option -j cannot be used with -s.");
  if (watching && conditions.deadlock && pid == kAllProcesses) {
    Usage("Option -a deadlock requires a single process ID.");
  }

  // A run starts with no control event seen, whatever an earlier run of
  // main in the same process saw.
  ClearControlEvents();
  ReportSink report(json, kVersion, grouped);
  report.Banner(kBanner);
  RunSettings run = {pid,
                     tid,
                     eventName,
                     cpuInterval,
                     samples,
                     sampleInterval,
                     outputPaths,
                     waits,
                     grouped,
                     json,
                     watching ? &conditions : NULL};
  int status = Run(report, run);
  report.EndRun();
  return status;
}
