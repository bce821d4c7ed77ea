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

// The 32-bit records: the block's loader-data pointer at 0x0C; the data's
// load-order list head at 0x0C; each entry's link first, its base at 0x18,
// size at 0x20, path at 0x24 and base name at 0x2C (a byte length, room,
// and the text's address), its texts after it.
std::vector<uint64_t> Process::AddLoaderData32(uint64_t at) {
  environmentBlock32 = at;
  const uint64_t data = at + 0x100, firstEntry = at + 0x200, stride = 0x400;
  auto put = [](std::vector<unsigned char>* bytes, size_t offset, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) (*bytes)[offset + i] = (unsigned char)(value >> (8 * i));
  };
  std::vector<uint64_t> addresses = {at, data};
  MemoryBlock block;
  block.address = at;
  block.bytes.assign(0x10, 0);
  put(&block.bytes, 0x0C, data, 4);
  memory.push_back(block);
  const uint64_t head = data + 0x0C;
  MemoryBlock list;
  list.address = data;
  list.bytes.assign(0x14, 0);
  put(&list.bytes, 0x0C, modules.empty() ? head : firstEntry, 4);
  memory.push_back(list);
  for (size_t i = 0; i < modules.size(); ++i) {
    const Module& module = modules[i];
    uint64_t entry = firstEntry + i * stride;
    MemoryBlock e;
    e.address = entry;
    e.bytes.assign(stride, 0);
    put(&e.bytes, 0, i + 1 < modules.size() ? entry + stride : head, 4);
    put(&e.bytes, 0x18, module.base, 4);
    put(&e.bytes, 0x20, module.size, 4);
    const std::string* texts[] = {&module.path, &module.baseName};
    for (size_t k = 0; k < 2; ++k) {
      size_t field = k == 0 ? 0x24 : 0x2C, text = k == 0 ? 0x100 : 0x300;
      size_t length = std::min<size_t>(texts[k]->size(), 0xFF);
      put(&e.bytes, field, length * 2, 2);
      put(&e.bytes, field + 2, length * 2, 2);
      put(&e.bytes, field + 4, entry + text, 4);
      for (size_t c = 0; c < length; ++c) put(&e.bytes, text + 2 * c, (unsigned char)(*texts[k])[c], 2);
    }
    memory.push_back(e);
    addresses.push_back(entry);
  }
  return addresses;
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
