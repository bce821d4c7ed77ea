#include <windows.h>

#include <cstdio>

#include "common/ImageHeader.h"
#include "common/NativeLayer.h"
#include "common/PlatformRecord.h"
#include "latchsift/LockReport.h"

namespace {

const ULONG kLockInformation = 0x20;

// Where the debug-information buffer keeps the size of its view (the buffer
// and everything a query places in it) and the lock list, and how the list
// lays out its records.
#if defined(_WIN64)
const size_t kViewSizeOffset = 88;
const size_t kLockListOffset = 120;
const size_t kFirstLockOffset = 8;
const size_t kLockRecordSize = 48;
const size_t kLockType = 8, kLockOwner = 16, kLockContention = 28, kLockEntries = 32, kLockRecursion = 36,
             kLockSharedWaiters = 40, kLockExclusiveWaiters = 44;
#else
const size_t kViewSizeOffset = 44;
const size_t kLockListOffset = 60;
const size_t kFirstLockOffset = 4;
const size_t kLockRecordSize = 36;
const size_t kLockType = 4, kLockOwner = 8, kLockContention = 16, kLockEntries = 20, kLockRecursion = 24,
             kLockSharedWaiters = 28, kLockExclusiveWaiters = 32;
#endif

struct NativeEntries {
  RtlCreateQueryDebugBufferFn create;
  RtlQueryProcessDebugInformationFn query;
  RtlDestroyQueryDebugBufferFn destroy;
};

// Finds all three entries before any is called; false after printing a line.
bool FindNativeEntries(NativeEntries* entries) {
  const char* failedCall = "";
  entries->create = FindRtlCreateQueryDebugBuffer(&failedCall);
  entries->query = entries->create != NULL ? FindRtlQueryProcessDebugInformation(&failedCall) : NULL;
  entries->destroy = entries->query != NULL ? FindRtlDestroyQueryDebugBuffer(&failedCall) : NULL;
  if (entries->destroy != NULL) return true;
  printf("%s error %d\n", failedCall, (int)GetLastError());
  return false;
}

void PrintLockType(WORD type) {
  if (type == 0) {
    printf("CRITICAL_SECTION");
  } else if (type == 1) {
    printf("RESOURCE");
  } else {
    printf("Unknown lock type %hu", type);
  }
}

void PrintLock(const BYTE* lock) {
  printf("Address: " THREADSIFT_ADDRESS, (PrintedAddress)ReadField<Address>(lock, 0));
  printf(" Type: ");
  PrintLockType(ReadField<WORD>(lock, kLockType));
  DWORD owner = ReadField<DWORD>(lock, kLockOwner);
  printf(" Owner: %d (0x%x)\n", (int)owner, (unsigned)owner);
  printf("  ContentionCount: %lu", (unsigned long)ReadField<DWORD>(lock, kLockContention));
  printf(" EntryCount: %lu", (unsigned long)ReadField<DWORD>(lock, kLockEntries));
  printf(" RecursionCount: %lu", (unsigned long)ReadField<DWORD>(lock, kLockRecursion));
  printf(" SharedWaiters: %lu", (unsigned long)ReadField<DWORD>(lock, kLockSharedWaiters));
  printf(" ExclusiveWaiters: %lu", (unsigned long)ReadField<DWORD>(lock, kLockExclusiveWaiters));
  printf("\n");
}

// True when the list starts inside the buffer's view and its count and all
// the records it counts end inside it too. Nothing is added before it is
// compared, so that no size can wrap. A buffer without a view (Wine's native
// layer keeps the list in a heap block of its own) gives nothing to check a
// list against: only an empty one is taken.
bool LockListFits(const BYTE* buffer, const BYTE* list) {
  size_t viewSize = (size_t)ReadField<ULONG_PTR>(buffer, kViewSizeOffset);
  if (viewSize == 0) return ReadField<DWORD>(list, 0) == 0;
  uintptr_t start = (uintptr_t)buffer;
  uintptr_t at = (uintptr_t)list;
  if (at < start || at - start >= viewSize) return false;
  size_t room = viewSize - (size_t)(at - start);
  if (room < kFirstLockOffset) return false;
  DWORD count = ReadField<DWORD>(list, 0);
  return count <= (room - kFirstLockOffset) / kLockRecordSize;
}

// Prints the list the query left in the buffer; false when it left none or
// one that does not fit the buffer.
bool PrintLockList(const BYTE* buffer) {
  const BYTE* list = ReadField<const BYTE*>(buffer, kLockListOffset);
  if (list == NULL) {
    printf("RtlQueryProcessDebugInformation returned no lock list\n");
    return false;
  }
  if (!LockListFits(buffer, list)) {
    printf("RtlQueryProcessDebugInformation returned a lock list that does not fit its buffer\n");
    return false;
  }
  DWORD count = ReadField<DWORD>(list, 0);
  printf("# of locks: %u\n", (unsigned)count);
  for (DWORD i = 0; i < count; ++i) PrintLock(list + kFirstLockOffset + i * kLockRecordSize);
  return true;
}

}  // namespace

bool ReportLocks(int pid) {
  // The 64-bit query of a 32-bit process lists the locks of the platform's
  // 32-bit layer, not the program's, and starts a thread inside the process
  // to do it: nothing is asked of a process this build does not report.
  if (sizeof(void*) == 8 && IsThirtyTwoBitProcess((DWORD)pid)) {
    printf("Process %d is a 32-bit process: the 32-bit latchsift lists its locks\n", pid);
    return false;
  }
  NativeEntries entries;
  if (!FindNativeEntries(&entries)) return false;
  PVOID buffer = entries.create(0, FALSE);
  if (buffer == NULL) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // the native layer sets none
    printf("RtlCreateQueryDebugBuffer error %d\n", (int)GetLastError());
    return false;
  }
  bool printed = false;
  LONG status = entries.query((ULONG_PTR)(ULONG)pid, kLockInformation, buffer);
  if (status != 0) {
    SetLastErrorFromStatus(status);
    printf("RtlQueryProcessDebugInformation error %d\n", (int)GetLastError());
  } else {
    printed = PrintLockList((const BYTE*)buffer);
  }
  // The buffer is the native layer's: it is destroyed on every path, and a
  // failure to destroy it is reported only after a complete report.
  LONG destroyed = entries.destroy(buffer);
  if (!printed) return false;
  if (destroyed != 0) {
    SetLastErrorFromStatus(destroyed);
    printf("RtlDestroyQueryDebugBuffer error %d\n", (int)GetLastError());
    return false;
  }
  return true;
}
