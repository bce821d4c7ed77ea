#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/EnablePrivilege.h"
#include "common/OptionText.h"
#include "latchsift/LockReport.h"

namespace {

const char kBanner[] = "latchsift v1.0 - Copyright (c) 2026 the threadsift developers";
const char kDebugPrivilege[] = "SeDebugPrivilege";
const int kNoProcess = -1;

const char kUsageLine[] = "Usage: latchsift -p <pid>\n";
const char kOptionList[] =
    "  -p <pid>   the process whose critical sections and resource locks to list\n"
    "  -h, -?     print the banner and the usage line and stop\n"
    "  --help     print the banner, the usage line and this list, and stop\n";

// Prints the message (if any) and the usage line, then ends the process.
[[noreturn]] void Usage(const char* message) { ExitWithUsage(message, kUsageLine); }

}  // namespace

int main(int argc, char** argv) {
  int pid = kNoProcess;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsHelpOption(arg)) {
      ExitWithHelp(kBanner, kUsageLine);
    } else if (IsOptionListOption(arg)) {
      ExitWithOptionList(kBanner, kUsageLine, kOptionList);
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
