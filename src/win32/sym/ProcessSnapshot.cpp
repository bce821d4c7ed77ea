#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/NativeStatus.h"
#include "common/PlatformRecord.h"
#include "sym/ProcessSnapshot.h"
#include "sym/SnapshotLayout.h"

namespace {

typedef LONG(WINAPI* NtQuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

const ULONG kStatusInfoLengthMismatch = 0xC0000004;
const ULONG kSnapshotStep = 0x10000;
const ULONG kSnapshotLimit = 0x1000000;

NtQuerySystemInformationFn g_ntQuerySystemInformation = NULL;

ULONG QuerySystemInformation(ULONG infoClass, void* buffer, ULONG size, ULONG* returned) {
  *returned = size;
  return (ULONG)g_ntQuerySystemInformation(infoClass, buffer, size, returned);
}

// Walks the chain for pid, every record compared, the last one (whose
// next-entry offset is 0) too.
const BYTE* FindProcessRecord(const BYTE* snapshot, DWORD pid) {
  const BYTE* record = snapshot;
  for (;;) {
    if (ReadField<DWORD>(record, kProcessIdOffset) == pid) return record;
    DWORD next = ReadField<DWORD>(record, kProcessNextOffset);
    if (next == 0) return NULL;
    record += next;
  }
}

void PrintProcessHeader(const BYTE* record) {
  DWORD pid = ReadField<DWORD>(record, kProcessIdOffset);
  const WCHAR* name = ReadField<const WCHAR*>(record, kProcessImageNameOffset);
  printf("Process %d (0x%0x) ", (int)pid, (unsigned)pid);
  if (name != NULL) {
    printf(" %S", name);
  } else if (pid == 0) {
    printf(" %s", "System Idle Process");
  } else {
    printf(" %s", "(unnamed)");
  }
  printf(" %d thread(s)\n", (int)ReadField<DWORD>(record, kProcessThreadCountOffset));
}

size_t ThreadRecordsOffset() {
#if defined(_WIN64)
  return kProcessThreadsOffset;
#else
  OSVERSIONINFOA version;
  memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  // Without a version the layout of current systems is the likelier one.
  if (!GetVersionExA(&version)) return kProcessThreadsOffset;
  return version.dwMajorVersion > 4 ? kProcessThreadsOffset : kProcessThreadsOffsetNt4;
#endif
}

DWORD* CopyThreadIds(const BYTE* record) {
  DWORD count = ReadField<DWORD>(record, kProcessThreadCountOffset);
  DWORD bytes = count * 4 + 4;
  DWORD* list = (DWORD*)calloc(bytes, 1);
  if (list == NULL) {
    printf("FATAL: failed to allocate %d byte(s)\n", (int)bytes);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  const BYTE* thread = record + ThreadRecordsOffset();
  for (DWORD i = 0; i < count; ++i) {
    list[i] = ReadField<DWORD>(thread + i * kThreadRecordSize, kThreadIdOffset);
  }
  return list;
}

void CopyThreadTimes(const BYTE* record, std::vector<ThreadTime>* times) {
  DWORD count = ReadField<DWORD>(record, kProcessThreadCountOffset);
  const BYTE* thread = record + ThreadRecordsOffset();
  times->clear();
  try {
    for (DWORD i = 0; i < count; ++i, thread += kThreadRecordSize) {
      ThreadTime time = {ReadField<DWORD>(thread, kThreadIdOffset),
                         ReadField<ULONGLONG>(thread, kThreadKernelTimeOffset) +
                             ReadField<ULONGLONG>(thread, kThreadUserTimeOffset)};
      times->push_back(time);
    }
  } catch (...) {
    times->clear();  // no memory for the times: the report goes on without them
  }
}

// A fresh snapshot, or null after printing its lines.
BYTE* TakeSnapshot() {
  BYTE* snapshot = (BYTE*)GetRawNtSystemInfo(kSystemProcessInformation);
  if (snapshot == NULL) printf("GetRawNtSystemInfo error %d\n", (int)GetLastError());
  return snapshot;
}

}  // namespace

void* GetRawNtSystemInfo(ULONG infoClass) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == NULL) {
    printf("GetModuleHandle error %d\n", (int)GetLastError());
    return NULL;
  }
  g_ntQuerySystemInformation = reinterpret_cast<NtQuerySystemInformationFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (g_ntQuerySystemInformation == NULL) {
    printf("GetProcAddress NtQuerySystemInformation error %d\n", (int)GetLastError());
    return NULL;
  }

  ULONG size = kSnapshotStep;
  void* buffer = malloc(size);
  if (buffer == NULL) {
    printf("FATAL: failed to allocate %d byte(s)\n", (int)size);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  memset(buffer, 0, size);
  ULONG returned = 0;
  ULONG status = QuerySystemInformation(infoClass, buffer, size, &returned);

  // The reported length is not trusted for sizing: the buffer grows in fixed steps.
  while (status == kStatusInfoLengthMismatch) {
    size += kSnapshotStep;
    if (size > kSnapshotLimit) {
      printf("ERROR: 16 MB maximum buffer size exceeded\n");
      free(buffer);
      SetLastErrorFromStatus((LONG)status);
      return NULL;
    }
    free(buffer);
    buffer = malloc(size);
    if (buffer == NULL) {
      printf("FATAL: failed to allocate %d byte(s)\n", (int)size);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return NULL;
    }
    status = QuerySystemInformation(infoClass, buffer, size, &returned);
  }

  if (status != 0) {
    printf("NtQuerySystemInformation error %08x, ret_len: %u\n", (unsigned)status, (unsigned)returned);
    free(buffer);
    SetLastErrorFromStatus((LONG)status);
    return NULL;
  }
  return buffer;
}

DWORD* EnumProcessThreads(DWORD pid, std::vector<ThreadTime>* times) {
  BYTE* snapshot = TakeSnapshot();
  if (snapshot == NULL) return NULL;
  DWORD* list = NULL;
  const BYTE* record = FindProcessRecord(snapshot, pid);
  if (record != NULL) {
    PrintProcessHeader(record);
    list = CopyThreadIds(record);
    if (list != NULL && times != NULL) CopyThreadTimes(record, times);
  }
  free(snapshot);
  // A process that is not in the snapshot has ended.
  if (record == NULL) SetLastError(ERROR_INVALID_PARAMETER);
  return list;
}

bool SnapshotThreadTimes(DWORD pid, std::vector<ThreadTime>* times) {
  times->clear();
  BYTE* snapshot = TakeSnapshot();
  if (snapshot == NULL) return false;
  const BYTE* record = FindProcessRecord(snapshot, pid);
  if (record != NULL) CopyThreadTimes(record, times);
  free(snapshot);
  return true;
}
