// The simulated platform's 32-bit layer of 64-bit Windows: which processes
// run in it, and the folders of its system files.
#include <algorithm>
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"

using namespace sim;

namespace {

UINT CopyFolder(const std::string& folder, LPSTR out, UINT size) {
  if (folder.size() >= size) return (UINT)folder.size() + 1;
  std::memcpy(out, folder.c_str(), folder.size() + 1);
  return (UINT)folder.size();
}

}  // namespace

namespace sim {

// The tool's own process runs in the layer when the machine says so; another
// process says so when it is a 32-bit process the platform admits to.
BOOL SimIsWow64Process(HANDLE process, PBOOL wow64) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("IsWow64Process", 0, "")) return FailWith(f, FALSE);
  if (process == (HANDLE)(intptr_t)-1) {
    *wow64 = m.toolInWow64 ? TRUE : FALSE;
    return TRUE;
  }
  Process* p = m.ProcessOfHandle(process);
  if (p == nullptr) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  bool in32BitLayer = p->bits == 32 || (p->bits == 0 && m.toolInWow64);
  *wow64 = in32BitLayer && (p->saysWow64 || p->bits == 0) ? TRUE : FALSE;
  return TRUE;
}

// The 32-bit environment block of a process in the layer, 0 for any
// other (the native layer's class 26).
NTSTATUS AnswerWow64Information(const Process& p, PVOID info, ULONG length, PULONG returned) {
  if (length != sizeof(ULONG_PTR)) return STATUS_INFO_LENGTH_MISMATCH;
  ULONG_PTR block = p.bits == 32 ? (ULONG_PTR)p.environmentBlock32 : 0;
  std::memcpy(info, &block, sizeof(block));
  if (returned != nullptr) *returned = sizeof(block);
  return STATUS_SUCCESS;
}

std::vector<uint64_t> Process::AddLoaderData32(uint64_t at) {
  environmentBlock32 = at;
  return AddLoaderData(at, 4);
}

}  // namespace sim

UINT GetSystemDirectoryA(LPSTR folder, UINT size) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetSystemDirectoryA", 0, "")) return FailWith(f, (UINT)0);
  return CopyFolder(m.systemFolder, folder, size);
}

#if defined(_WIN64)
UINT GetSystemWow64DirectoryA(LPSTR folder, UINT size) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetSystemWow64DirectoryA", 0, "")) return FailWith(f, (UINT)0);
  return CopyFolder(m.system32BitFolder, folder, size);
}
#endif
