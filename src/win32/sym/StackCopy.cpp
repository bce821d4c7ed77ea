#include <windows.h>

#include <string>

#include "sym/StackCopy.h"

namespace {

const Address kPageSize = 0x1000;

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

}  // namespace

bool CopyThreadStack(HANDLE process, Address stackPointer) {
  ForgetStackCopy();
  Address start = stackPointer & ~(kPageSize - 1);
  Address end = EndOfRegionHolding(process, stackPointer);
  if (end == 0 || end - start > kMaxStackCopy) return false;
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
