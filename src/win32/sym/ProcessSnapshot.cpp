#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/NativeStatus.h"
#include "common/PlatformRecord.h"
#include "sym/ProcessSnapshot.h"
#include "sym/SnapshotLayout.h"
#include "sym/ThreadCpu.h"

namespace {

typedef LONG(WINAPI* NtQuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

const ULONG kStatusInfoLengthMismatch = 0xC0000004;
const ULONG kSnapshotStep = 0x10000;
const ULONG kSnapshotLimit = 0x1000000;

NtQuerySystemInformationFn g_ntQuerySystemInformation = NULL;
bool g_timesClocked = false;
ULONGLONG g_timesTakenAt = 0;

ULONG QuerySystemInformation(ULONG infoClass, void* buffer, ULONG size, ULONG* returned) {
  *returned = size;
  return (ULONG)g_ntQuerySystemInformation(infoClass, buffer, size, returned);
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

// A fetched snapshot: its bytes, how many its buffer holds, and where each
// record's thread records begin.
struct Snapshot {
  const BYTE* bytes;
  size_t size;
  size_t threadsOffset;
};

// True when the image name is absent or starts inside the snapshot.
bool NameStartsInside(const Snapshot& snapshot, const BYTE* record) {
  uintptr_t name = (uintptr_t)ReadField<const WCHAR*>(record, kProcessImageNameOffset);
  uintptr_t start = (uintptr_t)snapshot.bytes;
  if (name == 0) return true;
  return name >= start && name - start < snapshot.size && snapshot.size - (name - start) >= sizeof(WCHAR);
}

// True when the record at offset lies whole inside the snapshot: its fixed
// part; its thread records within its span, which ends where the next
// record starts (inside the buffer and past them) or, for the last record,
// at the end of the buffer; and the start of its name. Sizes are compared
// before anything is added to them, so that none can wrap.
bool RecordIsWhole(const Snapshot& snapshot, size_t offset) {
  if (offset >= snapshot.size || snapshot.size - offset < snapshot.threadsOffset) return false;
  const BYTE* record = snapshot.bytes + offset;
  size_t span = snapshot.size - offset;
  DWORD next = ReadField<DWORD>(record, kProcessNextOffset);
  if (next != 0) {
    if (next >= span || next < snapshot.threadsOffset) return false;
    span = next;
  }
  DWORD count = ReadField<DWORD>(record, kProcessThreadCountOffset);
  if (count > (span - snapshot.threadsOffset) / kThreadRecordSize) return false;
  return NameStartsInside(snapshot, record);
}

// Walks the chain for pid, every record compared, the last one (whose
// next-entry offset is 0) too; a record that is not whole ends the walk.
const BYTE* FindProcessRecord(const Snapshot& snapshot, DWORD pid) {
  size_t offset = 0;
  while (RecordIsWhole(snapshot, offset)) {
    const BYTE* record = snapshot.bytes + offset;
    if (ReadField<DWORD>(record, kProcessIdOffset) == pid) return record;
    DWORD next = ReadField<DWORD>(record, kProcessNextOffset);
    if (next == 0) break;
    offset += next;
  }
  return NULL;
}

// The image name up to its terminator, or up to the end of the snapshot
// when none comes before it.
std::basic_string<WCHAR> ImageName(const Snapshot& snapshot, const WCHAR* name) {
  const BYTE* start = (const BYTE*)name;
  size_t room = (snapshot.size - (size_t)(start - snapshot.bytes)) / sizeof(WCHAR);
  std::basic_string<WCHAR> text;
  for (size_t i = 0; i < room; ++i) {
    WCHAR c = ReadField<WCHAR>(start, i * sizeof(WCHAR));
    if (c == 0) break;
    text += c;
  }
  return text;
}

// The name the header line shows for the record's process.
ImageText HeaderName(const Snapshot& snapshot, const BYTE* record) {
  const WCHAR* name = ReadField<const WCHAR*>(record, kProcessImageNameOffset);
  if (name != NULL) return ImageName(snapshot, name);
  const char* fallback = ReadField<DWORD>(record, kProcessIdOffset) == 0 ? "System Idle Process" : "(unnamed)";
  return ImageText(fallback, fallback + strlen(fallback));
}

void PrintProcessHeader(const Snapshot& snapshot, const BYTE* record) {
  DWORD pid = ReadField<DWORD>(record, kProcessIdOffset);
  printf("Process %d (0x%0x) ", (int)pid, (unsigned)pid);
  printf(" %S", HeaderName(snapshot, record).c_str());
  printf(" %d thread(s)\n", (int)ReadField<DWORD>(record, kProcessThreadCountOffset));
}

// The record's thread ids and a terminating 0. The record is whole, so its
// count is bounded by the snapshot's size.
DWORD* CopyThreadIds(const Snapshot& snapshot, const BYTE* record) {
  DWORD count = ReadField<DWORD>(record, kProcessThreadCountOffset);
  DWORD* list = (DWORD*)calloc((size_t)count + 1, sizeof(DWORD));
  if (list == NULL) {
    printf("FATAL: failed to allocate %d byte(s)\n", (int)(((size_t)count + 1) * sizeof(DWORD)));
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  const BYTE* thread = record + snapshot.threadsOffset;
  for (DWORD i = 0; i < count; ++i) {
    list[i] = ReadField<DWORD>(thread + i * kThreadRecordSize, kThreadIdOffset);
  }
  return list;
}

// The processor time and creation time of each thread of the record, which
// is whole.
void CopyThreadTimes(const Snapshot& snapshot, const BYTE* record, std::vector<ThreadTime>* times) {
  DWORD count = ReadField<DWORD>(record, kProcessThreadCountOffset);
  const BYTE* thread = record + snapshot.threadsOffset;
  times->clear();
  try {
    for (DWORD i = 0; i < count; ++i, thread += kThreadRecordSize) {
      ThreadTime time = {ReadField<DWORD>(thread, kThreadIdOffset),
                         ReadField<ULONGLONG>(thread, kThreadKernelTimeOffset) +
                             ReadField<ULONGLONG>(thread, kThreadUserTimeOffset),
                         ReadField<ULONGLONG>(thread, kThreadCreateTimeOffset)};
      times->push_back(time);
    }
  } catch (...) {
    times->clear();  // no memory for the times: the report goes on without them
  }
}

// Takes a fresh snapshot; false after printing its lines (when it reports).
// The caller frees its bytes.
bool TakeSnapshot(Snapshot* snapshot, bool report = true) {
  ULONG size = 0;
  BYTE* bytes = (BYTE*)GetRawNtSystemInfo(kSystemProcessInformation, &size, report);
  if (bytes == NULL) {
    if (report) printf("GetRawNtSystemInfo error %d\n", (int)GetLastError());
    return false;
  }
  snapshot->bytes = bytes;
  snapshot->size = size;
  snapshot->threadsOffset = ThreadRecordsOffset();
  return true;
}

}  // namespace

void* GetRawNtSystemInfo(ULONG infoClass, ULONG* bufferSize, bool report) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == NULL) {
    if (report) printf("GetModuleHandle error %d\n", (int)GetLastError());
    return NULL;
  }
  g_ntQuerySystemInformation = reinterpret_cast<NtQuerySystemInformationFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (g_ntQuerySystemInformation == NULL) {
    if (report) printf("GetProcAddress NtQuerySystemInformation error %d\n", (int)GetLastError());
    return NULL;
  }

  ULONG size = kSnapshotStep;
  void* buffer = malloc(size);
  if (buffer == NULL) {
    if (report) printf("FATAL: failed to allocate %d byte(s)\n", (int)size);
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
      if (report) printf("ERROR: 16 MB maximum buffer size exceeded\n");
      free(buffer);
      SetLastErrorFromStatus((LONG)status);
      return NULL;
    }
    free(buffer);
    buffer = malloc(size);
    if (buffer == NULL) {
      if (report) printf("FATAL: failed to allocate %d byte(s)\n", (int)size);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return NULL;
    }
    status = QuerySystemInformation(infoClass, buffer, size, &returned);
  }

  if (status != 0) {
    if (report) printf("NtQuerySystemInformation error %08x, ret_len: %u\n", (unsigned)status, (unsigned)returned);
    free(buffer);
    SetLastErrorFromStatus((LONG)status);
    return NULL;
  }
  *bufferSize = size;
  return buffer;
}

DWORD* EnumProcessThreads(DWORD pid, std::vector<ThreadTime>* times, ImageText* image) {
  Snapshot snapshot;
  if (!TakeSnapshot(&snapshot)) return NULL;
  // Thread times are measured from the moment they were taken: the header
  // line may wait on the console.
  if (times != NULL) g_timesClocked = ReadClock(&g_timesTakenAt);
  DWORD* list = NULL;
  const BYTE* record = FindProcessRecord(snapshot, pid);
  if (record != NULL) {
    PrintProcessHeader(snapshot, record);
    list = CopyThreadIds(snapshot, record);
    if (list != NULL && times != NULL) CopyThreadTimes(snapshot, record, times);
    if (list != NULL && image != NULL) *image = HeaderName(snapshot, record);
  }
  free((void*)snapshot.bytes);
  // A process that is not in the snapshot has ended.
  if (record == NULL) SetLastError(ERROR_INVALID_PARAMETER);
  return list;
}

bool ClockOfLastTimes(ULONGLONG* takenAt) {
  *takenAt = g_timesTakenAt;
  return g_timesClocked;
}

SnapshotOutcome SnapshotThreadTimes(DWORD pid, std::vector<ThreadTime>* times, bool report) {
  times->clear();
  Snapshot snapshot;
  if (!TakeSnapshot(&snapshot, report)) return SnapshotFailed;
  const BYTE* record = FindProcessRecord(snapshot, pid);
  if (record != NULL) CopyThreadTimes(snapshot, record, times);
  free((void*)snapshot.bytes);
  if (record != NULL) return ProcessListed;
  SetLastError(ERROR_INVALID_PARAMETER);
  return ProcessAbsent;
}

const ThreadTime* FindThreadTime(const std::vector<ThreadTime>& times, DWORD tid) {
  for (const ThreadTime& time : times) {
    if (time.tid == tid) return &time;
  }
  return NULL;
}
