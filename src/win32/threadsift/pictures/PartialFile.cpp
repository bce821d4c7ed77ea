#include <windows.h>

#include <string>

#include "threadsift/pictures/PartialFile.h"
#include "threadsift/report/ReportSink.h"

namespace {

// Bytes handed to one WriteFile at most.
const size_t kWriteStep = 1 << 20;

}  // namespace

PartialFile::PartialFile(const std::string& path) : path_(path) {
  // The tool's own process id keeps two runs writing to one path apart.
  partialPath_ = path + "." + std::to_string(GetCurrentProcessId()) + ".partial";
}

PartialFile::~PartialFile() { Discard(); }

bool PartialFile::Create(ReportSink& report) {
  HANDLE handle = CreateFileA(partialPath_.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) {
    report.Failure("CreateFile", (int)GetLastError(), path_.c_str());
    return false;
  }
  handle_.reset(new ScopedHandle(handle));
  return true;
}

bool PartialFile::Write(ReportSink& report, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    size_t step = bytes.size() - done < kWriteStep ? bytes.size() - done : kWriteStep;
    DWORD written = 0;
    if (!WriteFile(handle_->Get(), bytes.data() + done, (DWORD)step, &written, NULL) || written == 0) {
      DWORD error = GetLastError();
      Discard();
      report.Failure("WriteFile", (int)error, path_.c_str());
      return false;
    }
    done += written;
  }
  return true;
}

bool PartialFile::Finish(ReportSink& report) {
  // The close is what makes the bytes the file's own: a failed one leaves
  // the file as unsure as a failed write.
  if (!CloseHandle(handle_->Release())) {
    DWORD error = GetLastError();
    Discard();
    report.Failure("CloseHandle", (int)error, path_.c_str());
    return false;
  }
  if (!MoveFileExA(partialPath_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DWORD error = GetLastError();
    Discard();
    report.Failure("MoveFileEx", (int)error, path_.c_str());
    return false;
  }
  handle_.reset();
  return true;
}

void PartialFile::Discard() {
  if (handle_ == nullptr) return;
  handle_.reset();
  DeleteFileA(partialPath_.c_str());
}
