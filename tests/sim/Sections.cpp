// Memory of a simulated process beside its stacks: critical sections and
// their debug records at chosen addresses, and the words a waiting thread's
// frames keep on its stack.
#include <algorithm>
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"

using namespace sim;

namespace {

const size_t kWord = sizeof(void*);

void PutWord(std::vector<unsigned char>* bytes, size_t at, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) (*bytes)[at + i] = (unsigned char)(value >> (8 * i));
}

// Copies the bytes of [from, from + size) that fall into [at, at + length).
void Overlay(uint64_t from, const unsigned char* bytes, size_t size, uint64_t at, size_t length, unsigned char* out) {
  for (size_t i = 0; i < size; ++i) {
    uint64_t address = from + i;
    if (address >= at && address - at < length) out[address - at] = bytes[i];
  }
}

bool Touches(uint64_t from, size_t size, uint64_t at, size_t length) { return from < at + length && at < from + size; }

// The bytes of a pointer or a stack word of the process: 4 in a 32-bit one.
size_t WordOf(const Process& p) { return p.bits == 32 ? 4 : kWord; }

}  // namespace

namespace sim {

// Debug record, lock count, recursion count, owner, semaphore, spin count,
// in the process's width.
MemoryBlock& Process::AddSection(uint64_t address, DWORD owner, int32_t recursion, uint64_t debugRecord,
                                 int32_t lockCount) {
  size_t word = WordOf(*this);
  MemoryBlock block;
  block.address = address;
  block.bytes.assign(4 * word + 8, 0);
  PutWord(&block.bytes, 0, debugRecord, word);
  PutWord(&block.bytes, word, (uint32_t)lockCount, 4);
  PutWord(&block.bytes, word + 4, (uint32_t)recursion, 4);
  PutWord(&block.bytes, word + 8, owner, word);
  memory.push_back(block);
  return memory.back();
}

// Type, back-trace index, then the section, pointer-aligned.
MemoryBlock& Process::AddSectionDebugRecord(uint64_t record, uint64_t section) {
  size_t word = WordOf(*this);
  MemoryBlock block;
  block.address = record;
  block.bytes.assign(2 * word, 0);
  PutWord(&block.bytes, word, section, word);
  memory.push_back(block);
  return memory.back();
}

// The machine a process's modules are built for.
WORD MachineOf(const Process& p) {
  if (p.machine != 0) return p.machine;
  if (p.bits == 32) return IMAGE_FILE_MACHINE_I386;
  if (p.bits == 64) return IMAGE_FILE_MACHINE_AMD64;
  return sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
}

// The fields of a module's headers that tell its file: where the file
// header starts (0x40), its signature, its machine and its time stamp.
void OverlayModuleHeader(const Process& p, const Module& module, uint64_t at, size_t size, unsigned char* out) {
  const size_t kHeaderBytes = 0x4C;
  if (module.size < kHeaderBytes || !Touches(module.base, kHeaderBytes, at, size)) return;
  const std::pair<size_t, uint64_t> fields[] = {
      {0x3C, 0x40}, {0x40, 0x4550}, {0x44, MachineOf(p)}, {0x48, module.timeStamp}};
  for (const auto& field : fields) {
    std::vector<unsigned char> word(4);
    PutWord(&word, 0, field.second, 4);
    Overlay(module.base + field.first, word.data(), 4, at, size, out);
  }
}

bool OverlayMemory(Process& p, uint64_t at, size_t size, unsigned char* out) {
  // The environment blocks' pages hold zeros but for the blocks added there.
  const uint64_t kPage = 0x1000;
  for (uint64_t page : {kProcessEnvironmentBlock, kProcessEnvironmentBlock32}) {
    uint64_t from = std::max(page, at), to = std::min(page + kPage, at + size);
    if (from < to) std::memset(out + (from - at), 0, (size_t)(to - from));
  }
  // The environment block the native layer names (in the tool's width, for
  // a 32-bit process on 64-bit Windows too) names the main image.
  if (!p.modules.empty()) {
    std::vector<unsigned char> image(sizeof(void*));
    PutWord(&image, 0, p.modules[0].base, sizeof(void*));
    Overlay(kProcessEnvironmentBlock + 2 * sizeof(void*), image.data(), image.size(), at, size, out);
  }
  long listings = ActiveMachine().ModuleListings();
  for (const Module& module : p.modules) {
    if (module.LoadedAfter(listings)) OverlayModuleHeader(p, module, at, size, out);
  }
  for (MemoryBlock& block : p.memory) {
    if (!Touches(block.address, block.bytes.size(), at, size)) continue;
    if (block.unreadable) return false;
    Overlay(block.address, block.bytes.data(), block.bytes.size(), at, size, out);
    // A read of the section itself, not one that only touches it, counts.
    if (block.address == at && block.readsLeft > 0 && --block.readsLeft == 0) {
      block.unreadable = block.later.empty();
      if (!block.later.empty()) block.bytes = block.later;
    }
  }
  size_t wordSize = WordOf(p);
  for (const Thread& t : p.threads) {
    for (const auto& word : t.stack.pinned) {
      uint64_t address = t.stack.Pointer() + word.first;
      if (!Touches(address, wordSize, at, size)) continue;
      unsigned char bytes[8];
      for (size_t i = 0; i < wordSize; ++i) bytes[i] = (unsigned char)(word.second >> (8 * i));
      Overlay(address, bytes, wordSize, at, size, out);
    }
  }
  return true;
}

}  // namespace sim

// A thread that has ended, and that a handle keeps, ended with status 0.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  Machine& m = ActiveMachine();
  const HandleEntry* entry = m.FindHandle(thread);
  DWORD tid = entry != nullptr ? entry->id : 0;
  if (const FailRule* f = m.Enter("GetExitCodeThread", tid, Args("%u", tid))) return FailWith(f, FALSE);
  Thread* t = m.ThreadOfHandle(thread);
  if (t == nullptr) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  *exitCode = t->exited ? 0 : STILL_ACTIVE;
  return TRUE;
}
