#include <windows.h>

#include <cstring>
#include <string>

#include "common/ImageHeader.h"
#include "threadsift/process/ProcessWidth.h"
#include "threadsift/report/ReportSink.h"

namespace {

// True when the first length characters of a and b differ at most in the
// case of their letters (folder names are compared as the platform does).
bool SameLettersIgnoringCase(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? (char)(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? (char)(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool DecideProcessWidth(ExaminedProcess& process, ReportSink& report, Address mainImage) {
  WORD machine = 0;
  if (!ReadImageMachine(process.handle, mainImage, &machine)) {
    // A header a packer or protector wiped still leaves a process to walk:
    // in the tool's width, unless the platform says it runs in its 32-bit
    // layer.
    report.Failure("ReadImageMachine", (int)GetLastError());
    process.width = kToolWidth == Width64 && PlatformSaysWow64(process.handle) ? Width32 : kToolWidth;
    report.AssumedWidth(process.pid, process.width);
    return true;
  }
  if (machine == IMAGE_FILE_MACHINE_I386) {
    process.width = Width32;
    return true;
  }
  if (machine == IMAGE_FILE_MACHINE_AMD64 && kToolWidth == Width64) {
    process.width = Width64;
    return true;
  }
  if (machine == IMAGE_FILE_MACHINE_AMD64) {
    report.WiderProcess(process.pid);
  } else {
    report.OtherMachine(process.pid, machine);
  }
  return false;
}

bool IsWiderProcess(HANDLE process) {
  return kToolWidth == Width32 && PlatformSaysWow64(GetCurrentProcess()) && !PlatformSaysWow64(process);
}

std::string FileOfModule(const ExaminedProcess& process, const char* path) {
  const std::string& system = process.systemFolder;
  if (system.empty() || process.width == kToolWidth) return path;
  size_t length = system.size();
  if (strlen(path) <= length || path[length] != '\\' || !SameLettersIgnoringCase(path, system.c_str(), length)) {
    return path;
  }
  return process.system32BitFolder + (path + length);
}

void FindSystemFolders(ExaminedProcess& process) {
  process.systemFolder.clear();
  process.system32BitFolder.clear();
  if (process.width == kToolWidth) return;
  char system[MAX_PATH];
  char files32[MAX_PATH];
  UINT systemLength = GetSystemDirectoryA(system, MAX_PATH);
  UINT files32Length = GetSystem32BitFolder(files32, MAX_PATH);
  if (systemLength == 0 || systemLength >= MAX_PATH || files32Length == 0 || files32Length >= MAX_PATH) return;
  process.systemFolder.assign(system, systemLength);
  process.system32BitFolder.assign(files32, files32Length);
}

