// The files the tool writes: made, written, moved over another and deleted,
// in the machine's own table.
#include <cstring>

#include "PlatformCalls.h"
#include "simwin_api.h"

using namespace sim;

namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsOpen(Machine& m, const std::string& path) {
  for (const std::string& open : m.OpenFilePaths()) {
    if (open == path) return true;
  }
  return false;
}

size_t BytesOnDisk(const Machine& m) {
  size_t bytes = 0;
  for (const auto& file : m.files) bytes += file.second.size();
  return bytes;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("CreateFileA", 0, Args("0x%x,%u,%u,", access, share, disposition) + Text(path))) {
    return FailWith(f, INVALID_HANDLE_VALUE);
  }
  std::string name = Text(path);
  if (m.lockedFolders.count(FolderOf(name)) != 0 || m.folders.count(name) != 0) {
    return FailWithError(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }
  if (disposition == CREATE_NEW && m.files.count(name) != 0)
    return FailWithError(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
  if (disposition != CREATE_NEW && disposition != CREATE_ALWAYS) m.NoteMisuse("CreateFileA of a file to read: " + name);
  m.files[name].clear();
  return m.NewHandle("file", name);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED) {
  Machine& m = ActiveMachine();
  *written = 0;
  if (const FailRule* f = m.Enter("WriteFile", (uintptr_t)file, Args("%p,%u", file, bytes))) return FailWith(f, FALSE);
  if (!IsHandleOfKind(file, "file")) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  if (BytesOnDisk(m) + bytes > m.diskRoom) return FailWithError(ERROR_DISK_FULL, FALSE);
  m.files[m.FindHandle(file)->name].append((const char*)buffer, bytes);
  *written = bytes;
  return TRUE;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("MoveFileExA", 0, Text(from) + "," + Text(to) + Args(",%u", flags))) {
    return FailWith(f, FALSE);
  }
  std::string source = Text(from), target = Text(to);
  if (m.files.count(source) == 0) return FailWithError(ERROR_FILE_NOT_FOUND, FALSE);
  if (IsOpen(m, source)) return FailWithError(ERROR_SHARING_VIOLATION, FALSE);
  if (m.folders.count(target) != 0) return FailWithError(ERROR_ACCESS_DENIED, FALSE);
  if (m.files.count(target) != 0 && (flags & MOVEFILE_REPLACE_EXISTING) == 0) {
    return FailWithError(ERROR_ALREADY_EXISTS, FALSE);
  }
  m.files[target].swap(m.files[source]);
  m.files.erase(source);
  return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("DeleteFileA", 0, Text(path))) return FailWith(f, FALSE);
  std::string name = Text(path);
  if (IsOpen(m, name)) return FailWithError(ERROR_SHARING_VIOLATION, FALSE);
  if (m.files.erase(name) == 0) return FailWithError(ERROR_FILE_NOT_FOUND, FALSE);
  return TRUE;
}
