#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>

#include "common/NativeLayer.h"
#include "threadsift/StackCopy.h"

namespace {

const Address kPageSize = 0x1000;
const ULONG kThreadBasicInformation = 0;

// The native layer's basic record of a thread; the copy needs only where
// the thread's environment block lies.
struct ThreadBasics {
  LONG exitStatus;
  PVOID environmentBlock;
  CLIENT_ID clientId;
  ULONG_PTR affinity;
  LONG priority;
  LONG basePriority;
};

Address g_copyStart = 0;
std::string g_copy;

// The end of the committed, readable region that holds address, or 0.
Address EndOfRegionHolding(HANDLE process, Address address) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQueryEx(process, (LPCVOID)(UINT_PTR)address, &region, sizeof(region)) != sizeof(region)) return 0;
  Address start = (Address)(UINT_PTR)region.BaseAddress;
  Address end = start + (Address)region.RegionSize;
  if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return 0;
  if (address < start || address >= end || end < start) return 0;
  return end;
}

// Copies [start, end) of the process's memory; false, with nothing kept,
// when it cannot be read whole.
bool CopyRange(HANDLE process, Address start, Address end) {
  try {
    g_copy.resize((size_t)(end - start));
  } catch (...) {
    return false;  // no memory for the copy: the walk reads the held thread's stack as it stands
  }
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, (LPCVOID)(UINT_PTR)start, &g_copy[0], g_copy.size(), &got) ||
      got != g_copy.size()) {
    ForgetStackCopy();
    return false;
  }
  g_copyStart = start;
  return true;
}

}  // namespace

Address StackBaseOf(HANDLE process, HANDLE thread) {
  const char* failedCall = "";
  NtQueryInformationThreadFn query = FindNtQueryInformationThread(&failedCall);
  if (query == NULL) return 0;
  ThreadBasics basics;
  memset(&basics, 0, sizeof(basics));
  if (query(thread, kThreadBasicInformation, &basics, sizeof(basics), NULL) != 0) return 0;
  // The environment block begins with the thread information block, whose
  // second word is the stack's base: the end of the stack's highest page.
  UINT_PTR base = 0;
  SIZE_T got = 0;
  const BYTE* field = (const BYTE*)basics.environmentBlock + sizeof(PVOID);
  if (!ReadProcessMemory(process, field, &base, sizeof(base), &got) || got != sizeof(base)) return 0;
  return (Address)base;
}

bool CopyThreadStack(HANDLE process, Address stackPointer, Address stackBase) {
  ForgetStackCopy();
  Address start = stackPointer & ~(kPageSize - 1);
  // With the stack's base known, one read takes the whole stack in use, with
  // no query of the region while the thread is held.
  if (stackBase > stackPointer && stackBase - start <= kMaxStackCopy && CopyRange(process, start, stackBase)) {
    return true;
  }
  Address end = EndOfRegionHolding(process, stackPointer);
  if (end == 0 || end - start > kMaxStackCopy) return false;
  return CopyRange(process, start, end);
}

void ForgetStackCopy() {
  g_copyStart = 0;
  g_copy.clear();  // the room stays for the next thread's copy
}

const BYTE* CopiedStackBytes(Address address, DWORD wanted, DWORD* available) {
  if (g_copy.empty() || address < g_copyStart || address - g_copyStart >= g_copy.size()) return NULL;
  Address offset = address - g_copyStart;
  Address left = (Address)g_copy.size() - offset;
  *available = left < wanted ? (DWORD)left : wanted;
  return (const BYTE*)g_copy.data() + offset;
}
