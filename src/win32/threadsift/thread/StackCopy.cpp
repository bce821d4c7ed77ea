#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>

#include "common/NativeLayer.h"
#include "common/TargetMemory.h"
#include "threadsift/thread/StackCopy.h"

namespace {

const Address kPageSize = 0x1000;


// The platform's guard page is one page, more with a stack guarantee; what
// lies further below a stack's committed part is reserved or another
// allocation, which no walk of that stack needs.
const Address kGuardZone = 0x10000;

bool QueryRegion(HANDLE process, Address address, MEMORY_BASIC_INFORMATION* region) {
  return VirtualQueryEx(process, (LPCVOID)(UINT_PTR)address, region, sizeof(*region)) == sizeof(*region);
}

bool IsGuardPage(const MEMORY_BASIC_INFORMATION& region) {
  return region.State == MEM_COMMIT && (region.Protect & PAGE_GUARD) != 0;
}

bool IsReadable(const MEMORY_BASIC_INFORMATION& region) {
  return region.State == MEM_COMMIT && (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0;
}

Address EndOf(const MEMORY_BASIC_INFORMATION& region) {
  return (Address)(UINT_PTR)region.BaseAddress + (Address)region.RegionSize;
}

// The end of the committed, readable region that holds *address, or 0. A
// guard page there is stepped over, unread: *address moves to its end, which
// becomes the floor, and the region above it is asked for. Where no floor
// is known, the region's start, the stack's lowest committed address,
// becomes it, so that the guard page below stays fenced.
Address EndOfRegionHolding(HANDLE process, Address* address, Address* floor) {
  MEMORY_BASIC_INFORMATION region;
  if (!QueryRegion(process, *address, &region)) return 0;
  if (IsGuardPage(region) && EndOf(region) > *address) {
    *address = *floor = EndOf(region);
    if (!QueryRegion(process, *address, &region)) return 0;
  }
  Address start = (Address)(UINT_PTR)region.BaseAddress;
  Address end = EndOf(region);
  if (!IsReadable(region)) return 0;
  if (*address < start || *address >= end || end < start) return 0;
  if (*floor == 0) *floor = start;
  return end;
}

// Where the copy begins when the pointer's page lies below the limit read
// before the hold: at that page when it is committed now (the stack has
// grown since), else at the limit.
Address FirstPageToCopy(HANDLE process, Address page, Address limit) {
  MEMORY_BASIC_INFORMATION region;
  return QueryRegion(process, page, &region) && IsReadable(region) ? page : limit;
}

// Where the copy by base begins when the stack's limit is unknown: above
// the guard page when the pointer's page is one (it becomes the floor).
Address AboveGuardPage(HANDLE process, Address page, Address* floor) {
  MEMORY_BASIC_INFORMATION region;
  if (!QueryRegion(process, page, &region) || !IsGuardPage(region) || EndOf(region) <= page) return page;
  return *floor = EndOf(region);
}

// Copies [start, end) of the process's memory; false, with nothing kept,
// when it cannot be read whole.
bool CopyRange(HANDLE process, Address start, Address end, StackCopy* copy) {
  std::string& bytes = copy->bytes;
  try {
    bytes.resize((size_t)(end - start));
  } catch (...) {
    return false;  // no memory for the copy: the walk reads the held thread's stack as it stands
  }
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, (LPCVOID)(UINT_PTR)start, &bytes[0], bytes.size(), &got) || got != bytes.size()) {
    copy->start = 0;
    bytes.clear();  // the floor stays for the walk that follows
    return false;
  }
  copy->start = start;
  return true;
}

}  // namespace

Address StackBaseOf(HANDLE process, HANDLE thread, ProcessWidth width) {
  NativeThreadBasics basics;
  if (!QueryThreadBasics(thread, &basics)) return 0;
  // The environment block begins with the thread information block, whose
  // second word is the stack's base: the end of the stack's highest page. A
  // thread of a process of the other width has its block of that width
  // after the tool's.
  Address block = (Address)(UINT_PTR)basics.environmentBlock;
  if (block == 0) return 0;
  if (width != kToolWidth) block += kEnvironmentBlock32Offset;
  Address base = 0;
  return ReadTargetWord(process, block + WordSizeOf(width), WordSizeOf(width), &base) ? base : 0;
}

bool NamesNoThirtyTwoBitStack(HANDLE process, HANDLE thread) {
  NativeThreadBasics basics;
  if (!QueryThreadBasics(thread, &basics) || basics.environmentBlock == NULL) return false;
  Address block = (Address)(UINT_PTR)basics.environmentBlock;
  Address base = 0, base32 = 0;
  if (!ReadTargetWord(process, block + WordSizeOf(kToolWidth), WordSizeOf(kToolWidth), &base) || base == 0) {
    return false;
  }
  return !ReadTargetWord(process, block + kEnvironmentBlock32Offset + 4, 4, &base32) || base32 == 0;
}

Address StackStartOf(HANDLE process, Address stackBase) {
  MEMORY_BASIC_INFORMATION region;
  if (stackBase == 0 || !QueryRegion(process, stackBase - 1, &region)) return 0;
  Address start = (Address)(UINT_PTR)region.AllocationBase;
  return start < stackBase ? start : 0;
}

Address StackLimitOf(HANDLE process, Address stackBase) {
  MEMORY_BASIC_INFORMATION region;
  if (stackBase == 0 || !QueryRegion(process, stackBase - 1, &region) || !IsReadable(region)) return 0;
  Address start = (Address)(UINT_PTR)region.BaseAddress;
  return start < stackBase && EndOf(region) >= stackBase ? start : 0;
}

bool CopyThreadStack(HANDLE process, Address stackPointer, Address stackBase, Address stackLimit, StackCopy* copy) {
  ForgetStackCopy(copy);
  Address start = stackPointer & ~(kPageSize - 1);
  bool baseFits = stackBase > stackPointer && stackBase - start <= kMaxStackCopy;
  // Found from the base, the limit is worth no more than the base. A base
  // too far above the pointer to copy up to is still the stack's when its
  // limit lies no more than the guard zone above the pointer's page: that
  // limit then fences the guard page for the walk made while held.
  if (!baseFits && (stackBase <= stackPointer || (stackLimit > start && stackLimit - start > kGuardZone))) {
    stackLimit = 0;
  }
  if (stackLimit != 0 && start < stackLimit) start = FirstPageToCopy(process, start, stackLimit);
  copy->floor = stackLimit == 0 ? 0 : stackLimit < start ? stackLimit : start;
  if (baseFits && stackLimit == 0) start = AboveGuardPage(process, start, &copy->floor);
  // With the stack's base known, one read takes the whole stack in use, with
  // no query of the region while the thread is held.
  if (baseFits && CopyRange(process, start, stackBase, copy)) return true;
  Address end = EndOfRegionHolding(process, &start, &copy->floor);
  if (end == 0 || end - start > kMaxStackCopy) return false;
  return CopyRange(process, start, end, copy);
}

bool ReadsBelowStackFloor(const StackCopy& copy, Address address, DWORD size) {
  if (copy.floor == 0 || address >= copy.floor) return false;
  Address zone = copy.floor > kGuardZone ? copy.floor - kGuardZone : 0;
  return address >= zone || zone - address < size;
}

void ForgetStackCopy(StackCopy* copy) {
  copy->start = 0;
  copy->floor = 0;
  copy->bytes.clear();  // the room stays for the next thread's copy
}

const BYTE* CopiedStackBytes(const StackCopy& copy, Address address, DWORD wanted, DWORD* available) {
  const std::string& bytes = copy.bytes;
  if (bytes.empty() || address < copy.start || address - copy.start >= bytes.size()) return NULL;
  Address offset = address - copy.start;
  Address left = (Address)bytes.size() - offset;
  *available = left < wanted ? (DWORD)left : wanted;
  return (const BYTE*)bytes.data() + offset;
}

bool CopiedWord(const StackCopy& copy, Address address, ProcessWidth width, Address* word) {
  DWORD available = 0;
  size_t size = WordSizeOf(width);
  const BYTE* bytes = CopiedStackBytes(copy, address, (DWORD)size, &available);
  if (bytes == NULL || available != size) return false;
  *word = WordAt(bytes, size);
  return true;
}
// True when [address, address + size) lies in committed memory that may be
// read without harm: a read of a guard page from another process spends it
// (its thread could no longer grow its stack), whichever thread's stack it
// ends, and nothing below the copied stack's floor is read.
bool ReadTargetWordSafely(HANDLE process, const StackCopy& stack, Address address, size_t wordSize, Address* word) {
  return MayReadTarget(process, stack, address, wordSize) && ReadTargetWord(process, address, wordSize, word);
}

bool MayReadTarget(HANDLE process, const StackCopy& stack, Address address, size_t size) {
  if (ReadsBelowStackFloor(stack, address, (DWORD)size)) return false;
  for (Address at : {address, address + size - 1}) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQueryEx(process, (LPCVOID)(UINT_PTR)at, &region, sizeof(region)) != sizeof(region)) return false;
    if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
  }
  return true;
}

