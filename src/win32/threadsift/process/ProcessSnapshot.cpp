#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "common/NativeLayer.h"
#include "common/PlatformRecord.h"
#include "threadsift/base/Clock.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/process/SnapshotLayout.h"

namespace {

const ULONG kStatusInfoLengthMismatch = 0xC0000004;
const ULONG kSnapshotLimit = 0x1000000;
// How long a sweep keeps one snapshot for the processes after the first.
const ULONGLONG kKeptSnapshotAge = 1000 * kClockTicksPerMillisecond;

ULONG QuerySystemInformation(NtQuerySystemInformationFn query, ULONG infoClass, void* buffer, ULONG size,
                             ULONG* returned) {
  *returned = size;
  return (ULONG)query(infoClass, buffer, size, returned);
}

size_t ThreadRecordsOffset() {
  if (!kThreadsOffsetFollowsVersion) return kProcessThreadsOffset;
  OSVERSIONINFOA version;
  memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  // Without a version the layout of current systems is the likelier one.
  if (!GetVersionExA(&version)) return kProcessThreadsOffset;
  return version.dwMajorVersion > 4 ? kProcessThreadsOffset : kProcessThreadsOffsetNt4;
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

// Walks the chain of records, the last one (whose next-entry offset is 0)
// too, until found(record) is true; a record that is not whole ends the
// walk. Returns the record found, or null.
template <typename Found>
const BYTE* WalkRecords(const Snapshot& snapshot, Found found) {
  size_t offset = 0;
  while (RecordIsWhole(snapshot, offset)) {
    const BYTE* record = snapshot.bytes + offset;
    if (found(record)) return record;
    DWORD next = ReadField<DWORD>(record, kProcessNextOffset);
    if (next == 0) break;
    offset += next;
  }
  return NULL;
}

const BYTE* FindProcessRecord(const Snapshot& snapshot, DWORD pid) {
  return WalkRecords(snapshot, [pid](const BYTE* record) { return ReadField<DWORD>(record, kProcessIdOffset) == pid; });
}

// The offset of every whole record by its process id (the first of an id
// counts), so that a kept snapshot finds each process without walking the
// chain again. False when there is no memory for it.
bool IndexRecords(const Snapshot& snapshot, std::map<DWORD, size_t>* offsets) {
  offsets->clear();
  try {
    WalkRecords(snapshot, [&](const BYTE* record) {
      offsets->insert(std::make_pair(ReadField<DWORD>(record, kProcessIdOffset), (size_t)(record - snapshot.bytes)));
      return false;
    });
  } catch (const std::bad_alloc&) {
    offsets->clear();
    return false;
  }
  return true;
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

// The record's threads, up to the first with the id 0 (which no thread has:
// it ends the list). The record is whole, so its count is bounded by the
// snapshot's size. False when there is no memory for the list.
bool CopyThreads(const Snapshot& snapshot, const BYTE* record, ThreadList* threads) {
  DWORD count = ReadField<DWORD>(record, kProcessThreadCountOffset);
  try {
    threads->reserve(count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const BYTE* thread = record + snapshot.threadsOffset;
  for (DWORD i = 0; i < count; ++i, thread += kThreadRecordSize) {
    ThreadRecord copied = {
        ReadField<DWORD>(thread, kThreadIdOffset),
        ReadField<ULONGLONG>(thread, kThreadKernelTimeOffset) + ReadField<ULONGLONG>(thread, kThreadUserTimeOffset),
        ReadField<ULONGLONG>(thread, kThreadCreateTimeOffset)};
    if (copied.tid == 0) break;
    threads->push_back(copied);
  }
  return true;
}

// How a snapshot's buffer grows: from its first size (a multiple of 64 KB)
// in 64 KB steps, or, where the reported length may serve as a hint, to the
// step that holds the reported length when that is further (never past
// 16 MB: the limit is kept, and a report too short costs a step more).
struct BufferGrowth {
  ULONG firstSize;
  bool byReportedLength;
};
const BufferGrowth kStepwise = {kSnapshotStep, false};

ULONG NextBufferSize(ULONG size, ULONG reported, const BufferGrowth& growth) {
  ULONG next = size + kSnapshotStep;
  if (!growth.byReportedLength || reported <= next) return next;
  ULONGLONG holding = ((ULONGLONG)reported + kSnapshotStep - 1) / kSnapshotStep * kSnapshotStep;
  return std::max(next, (ULONG)std::min<ULONGLONG>(holding, kSnapshotLimit));
}

// Fetches one class of raw system information into a heap buffer grown as
// growth says, up to 16 MB. Returns the buffer (the caller frees it) and
// sets *bufferSize to the bytes it holds, or returns null after printing
// one line (none when report is null).
void* GetRawNtSystemInfo(ReportSink* report, ULONG infoClass, ULONG* bufferSize, const BufferGrowth& growth) {
  const char* failedCall = "";
  NtQuerySystemInformationFn query = FindNtQuerySystemInformation(&failedCall);
  if (query == NULL) {
    if (report != NULL && strcmp(failedCall, "GetProcAddress") == 0) {
      report->Failure("GetProcAddress", (int)GetLastError(), "NtQuerySystemInformation");
    } else if (report != NULL) {
      report->Failure(failedCall, (int)GetLastError());
    }
    return NULL;
  }

  ULONG size = growth.firstSize;
  void* buffer = malloc(size);
  if (buffer == NULL) {
    if (report != NULL) report->AllocationFailure(size);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  memset(buffer, 0, size);
  ULONG returned = 0;
  ULONG status = QuerySystemInformation(query, infoClass, buffer, size, &returned);

  while (status == kStatusInfoLengthMismatch) {
    size = NextBufferSize(size, returned, growth);
    if (size > kSnapshotLimit) {
      if (report != NULL) report->SnapshotLimit(status);
      free(buffer);
      SetLastErrorFromStatus((LONG)status);
      return NULL;
    }
    free(buffer);
    buffer = malloc(size);
    if (buffer == NULL) {
      if (report != NULL) report->AllocationFailure(size);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return NULL;
    }
    status = QuerySystemInformation(query, infoClass, buffer, size, &returned);
  }

  if (status != 0) {
    if (report != NULL) report->StatusFailure("NtQuerySystemInformation", status, returned);
    free(buffer);
    SetLastErrorFromStatus((LONG)status);
    return NULL;
  }
  *bufferSize = size;
  return buffer;
}

// Takes a fresh snapshot; false after saying its lines (when report is not
// null). The caller frees its bytes.
bool TakeSnapshot(ReportSink* report, Snapshot* snapshot, const BufferGrowth& growth = kStepwise) {
  ULONG size = 0;
  BYTE* bytes = (BYTE*)GetRawNtSystemInfo(report, kSystemProcessInformation, &size, growth);
  if (bytes == NULL) {
    if (report != NULL) report->Failure("GetRawNtSystemInfo", (int)GetLastError());
    return false;
  }
  snapshot->bytes = bytes;
  snapshot->size = size;
  snapshot->threadsOffset = ThreadRecordsOffset();
  return true;
}

void ClearListing(ProcessThreads* listed) {
  listed->image.clear();
  listed->threadCount = 0;
  listed->threads.clear();
  listed->kept = false;
  listed->clocked = false;
  listed->takenAt = 0;
}

// Fills listed from the snapshot's record (null when the process is absent).
SnapshotOutcome ListProcess(const Snapshot& snapshot, const BYTE* record, ProcessThreads* listed) {
  ClearListing(listed);
  SnapshotOutcome outcome = ProcessAbsent;
  if (record != NULL) {
    listed->image = HeaderName(snapshot, record);
    listed->threadCount = ReadField<DWORD>(record, kProcessThreadCountOffset);
    outcome = CopyThreads(snapshot, record, &listed->threads) ? ProcessListed : NoRoomForThreads;
  }
  // A process that is not in the snapshot has ended.
  if (outcome == ProcessAbsent) SetLastError(ERROR_INVALID_PARAMETER);
  if (outcome == NoRoomForThreads) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return outcome;
}

// True when the kept snapshot may serve one more process.
bool KeptSnapshotServes(const KeptSnapshot& kept) {
  ULONGLONG now = 0;
  return kept.bytes != NULL && kept.clocked && ReadClock(&now) && now - kept.takenAt < kKeptSnapshotAge;
}

void FreeKeptSnapshot(KeptSnapshot* kept) {
  free((void*)kept->bytes);
  kept->bytes = NULL;
  kept->records.clear();
}

Snapshot KeptBytes(const KeptSnapshot& kept) { return Snapshot{kept.bytes, kept.size, kept.threadsOffset}; }

// The kept record of process pid, unless it describes an earlier process
// that had the id: one created at another time than createdAt (where both
// times are known).
const BYTE* KeptRecord(const KeptSnapshot& kept, DWORD pid, ULONGLONG createdAt) {
  std::map<DWORD, size_t>::const_iterator found = kept.records.find(pid);
  if (found == kept.records.end()) return NULL;
  const BYTE* record = kept.bytes + found->second;
  ULONGLONG recorded = ReadField<ULONGLONG>(record, kProcessCreateTimeOffset);
  return createdAt == 0 || recorded == 0 || recorded == createdAt ? record : NULL;
}

}  // namespace

KeptSnapshot::~KeptSnapshot() { free((void*)bytes); }

SnapshotOutcome SnapshotProcess(ReportSink* report, DWORD pid, ProcessThreads* listed, bool timed) {
  Snapshot snapshot;
  if (!TakeSnapshot(report, &snapshot)) {
    ClearListing(listed);
    return SnapshotFailed;
  }
  ULONGLONG takenAt = 0;
  bool clocked = timed && ReadClock(&takenAt);
  SnapshotOutcome outcome = ListProcess(snapshot, FindProcessRecord(snapshot, pid), listed);
  listed->clocked = clocked;
  listed->takenAt = takenAt;
  DWORD error = GetLastError();
  free((void*)snapshot.bytes);
  SetLastError(error);
  return outcome;
}

SnapshotOutcome SnapshotProcessInSweep(ReportSink& report, KeptSnapshot* kept, DWORD pid, ULONGLONG createdAt,
                                       ProcessThreads* listed) {
  if (KeptSnapshotServes(*kept)) {
    SnapshotOutcome outcome = ListProcess(KeptBytes(*kept), KeptRecord(*kept, pid, createdAt), listed);
    listed->kept = true;
    if (outcome != ProcessAbsent) return outcome;
  }
  FreeKeptSnapshot(kept);
  // A sweep's snapshot grows to the length the platform reports, so that a
  // system of thousands of processes (6 MB for 4,000) is not listed whole
  // again for every 64 KB the buffer grows.
  BufferGrowth growth = {kept->needed, true};
  Snapshot fresh;
  if (!TakeSnapshot(&report, &fresh, growth)) {
    ClearListing(listed);
    return SnapshotFailed;
  }
  kept->bytes = fresh.bytes;
  kept->size = fresh.size;
  kept->threadsOffset = fresh.threadsOffset;
  kept->needed = (ULONG)fresh.size;
  // Without room for the index the snapshot serves this process alone.
  kept->clocked = IndexRecords(fresh, &kept->records) && ReadClock(&kept->takenAt);
  return ListProcess(fresh, FindProcessRecord(fresh, pid), listed);
}

const ThreadRecord* FindThreadRecord(const ThreadList& threads, DWORD tid) {
  for (const ThreadRecord& thread : threads) {
    if (thread.tid == tid) return &thread;
  }
  return NULL;
}
