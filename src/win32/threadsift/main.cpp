#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/EnablePrivilege.h"
#include "common/OptionText.h"
#include "threadsift/FrameNaming.h"
#include "threadsift/Interrupt.h"
#include "threadsift/ProcessSession.h"
#include "threadsift/ProcessWalk.h"
#include "threadsift/ScopedHandle.h"
#include "threadsift/StackSampler.h"

namespace {

const char kBanner[] = "threadsift v2.04 - Copyright (c) 2026 the threadsift developers";
const char kDebugPrivilege[] = "SeDebugPrivilege";
const int kAllProcesses = -1;
// The longest interval over which -c measures how busy each thread is.
const int kMaxCpuInterval = 60000;
// Every access right to an event as NT 4.0 and 2000 define it.
const DWORD kEventAllAccess = 0x1F0003;

const char kUsageLine[] = "Usage: threadsift -p <pid> [-t <tid>]\n";

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

void PrintRunHeader(const char* computerName) {
  time_t now = time(NULL);
  const char* when = ctime(&now);
  printf("Checking computer %s on %s\n", computerName, when != NULL ? when : "(unknown time)\n");
}

// Reads the number after an option at argv[*index + 1], which must lie in
// [low, high]; a missing or unfit value ends the process through Usage.
int ReadBoundedValue(int argc, char** argv, int* index, int low, int high, const char* missing, const char* invalid) {
  if (*index + 1 >= argc) Usage(missing);
  int value = 0;
  if (!ReadOptionNumber(argv[++*index], &value) || value < low || value > high) Usage(invalid);
  return value;
}

// Opens the named event, which another program created, and signals it.
// False after printing a line.
bool SignalEvent(const char* name) {
  // The waiter reads the report as soon as it learns that it is complete:
  // all of it has to be written out by then, not left in the run-time's buffer.
  fflush(stdout);
  HANDLE event = OpenEventA(kEventAllAccess, FALSE, name);
  if (event == NULL) {
    printf("OpenEvent %s error %d\n", name, (int)GetLastError());
    return false;
  }
  ScopedHandle eventOwner(event);
  if (!SetEvent(event)) {
    printf("SetEvent error %d\n", (int)GetLastError());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int pid = 0;
  int tid = kAllThreads;
  const char* eventName = NULL;
  int cpuInterval = 0;
  int samples = 0;
  int sampleInterval = 0;
  bool waits = false;

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsHelpOption(arg)) {
      ExitWithHelp(kBanner, kUsageLine);
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
    } else if (strcmp(arg, "-w") == 0) {
      waits = true;
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
  if (samples != 0 && pid == kAllProcesses) Usage("Option -s requires a single process ID.");
  if (samples != 0 && cpuInterval != 0) Usage("Option -c cannot be used with -s.");
  if (samples != 0 && waits) Usage("Option -w cannot be used with -s.");

  printf("%s\n\n", kBanner);
  if (!EnablePrivilege(kDebugPrivilege)) {
    printf("GetPrivilege %s error %d\n", kDebugPrivilege, (int)GetLastError());
    return 1;
  }
  char computerName[16];
  DWORD size = sizeof(computerName);
  if (!GetComputerNameA(computerName, &size)) {
    printf("GetComputerName error %d\n", (int)GetLastError());
    return 1;
  }
  PrintRunHeader(computerName);
  if (!BindLineLookup()) return 1;

  bool done = false;
  if (samples != 0) {
    done = SampleProcess(pid, tid, samples, sampleInterval != 0 ? sampleInterval : kDefaultSampleInterval);
  } else if (pid == kAllProcesses) {
    done = WalkAllProcesses(cpuInterval, waits);
  } else {
    done = WalkProcess(pid, tid, cpuInterval, waits);
  }
  if (!done) return 1;
  if (g_interrupted != 0) {
    printf("\n* Interrupt *\n");
    return 0;
  }
  if (eventName != NULL && !SignalEvent(eventName)) return 1;
  return 0;
}
