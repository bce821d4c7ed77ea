#ifndef THREADSIFT_SECTION_LAYOUT_H
#define THREADSIFT_SECTION_LAYOUT_H

#include <windows.h>

// A critical section and its debug record as they lie in the memory of a
// process of the tool's own width: pointer-sized fields make 24 and 16 bytes
// on 32-bit, 40 and 24 on 64-bit. The owner field holds the owning thread's
// id (0 when none) in a handle-sized word.
struct SectionImage {
  UINT_PTR debugInfo;
  LONG lockCount;
  LONG recursionCount;
  UINT_PTR owningThread;
  UINT_PTR lockSemaphore;
  UINT_PTR spinCount;
};

struct SectionDebugImage {
  WORD type;
  WORD creatorBackTraceIndex;
  UINT_PTR criticalSection;  // the section the record belongs to
};

static_assert(sizeof(SectionImage) == 4 * sizeof(UINT_PTR) + 8, "critical section layout");
static_assert(sizeof(SectionDebugImage) == 2 * sizeof(UINT_PTR), "critical section debug record layout");

// The same in a 32-bit process that the 64-bit build examines.
struct SectionImage32 {
  DWORD debugInfo;
  LONG lockCount;
  LONG recursionCount;
  DWORD owningThread;
  DWORD lockSemaphore;
  DWORD spinCount;
};

struct SectionDebugImage32 {
  WORD type;
  WORD creatorBackTraceIndex;
  DWORD criticalSection;
};

static_assert(sizeof(SectionImage32) == 24, "32-bit critical section layout");
static_assert(sizeof(SectionDebugImage32) == 8, "32-bit critical section debug record layout");

// A section initialised without a debug record holds 0 or, since Windows 8,
// every bit set in its debug-record field.
const UINT_PTR kNoSectionDebugRecord = ~(UINT_PTR)0;
const DWORD kNoSectionDebugRecord32 = ~(DWORD)0;

#endif
