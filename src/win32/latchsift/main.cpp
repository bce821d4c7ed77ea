#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/EnablePrivilege.h"
#include "common/OptionText.h"
#include "latchsift/LockReport.h"

namespace {

const char kBanner[] = "latchsift v1.0 - Copyright (c) 2026 the threadsift developers";
const char kDebugPrivilege[] = "SeDebugPrivilege";
const int kNoProcess = -1;

// Prints the message (if any) and the usage line, then ends the process:
// status 1 after a message, 0 without one.
[[noreturn]] void Usage(const char* message) {
  if (message != NULL) printf("%s\n\n", message);
  printf("Usage: latchsift -p <pid>\n");
  exit(message != NULL ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  int pid = kNoProcess;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0) {
      printf("%s\n\n", kBanner);
      Usage(NULL);
    } else if (strcmp(arg, "-p") == 0) {
      if (i + 1 >= argc) Usage("Option -p requires process ID argument.");
      if (!ReadOptionNumber(argv[++i], &pid)) Usage("Invalid argument for -p option.");
    } else {
      Usage(ComposeUnrecognisedOption(arg).c_str());
    }
  }
  if (pid == kNoProcess) Usage("Option -p required.");

  printf("%s\n\n", kBanner);
  if (!EnablePrivilege(kDebugPrivilege)) {
    printf("EnablePrivilege %s error %d\n", kDebugPrivilege, (int)GetLastError());
    return 1;
  }
  return ReportLocks(pid) ? 0 : 1;
}
