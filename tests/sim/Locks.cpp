// The simulated debug-information buffer of the native layer, through which
// the lock tool reads a process's lock list.
#include <algorithm>
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"

using namespace sim;

namespace {

const ULONG kLockInformation = 0x20;
const size_t kHeaderSize = 256;  // the buffer's own fields, where no query places anything
const size_t kPage = 4096;

#if defined(_WIN64)
const size_t kViewSizeOffset = 88;
const size_t kLockListOffset = 120, kFirstLock = 8, kRecordSize = 48;
const size_t kType = 8, kOwner = 16, kContention = 28, kEntries = 32, kRecursion = 36, kShared = 40, kExclusive = 44,
             kAddressSize = 8;
#else
const size_t kViewSizeOffset = 44;
const size_t kLockListOffset = 60, kFirstLock = 4, kRecordSize = 36;
const size_t kType = 4, kOwner = 8, kContention = 16, kEntries = 20, kRecursion = 24, kShared = 28, kExclusive = 32,
             kAddressSize = 4;
#endif

// Writes a pointer-sized size field.
void PutSizeField(char* at, size_t value) {
  ULONG_PTR field = (ULONG_PTR)value;
  std::memcpy(at, &field, sizeof(field));
}

template <typename T>
void Put(std::string* out, size_t at, T value, size_t size = sizeof(T)) {
  std::memcpy(&(*out)[at], &value, size);
}

// The lock list as the platform lays it out: the count, then the records.
std::string LockList(const std::vector<Lock>& locks, int64_t countShown = -1) {
  std::string list(kFirstLock + locks.size() * kRecordSize, '\xA5');
  Put(&list, 0, countShown >= 0 ? (DWORD)countShown : (DWORD)locks.size());
  for (size_t i = 0; i < locks.size(); ++i) {
    size_t at = kFirstLock + i * kRecordSize;
    const Lock& lock = locks[i];
    Put(&list, at, lock.address, kAddressSize);
    Put(&list, at + kType, lock.type);
    Put(&list, at + kOwner, lock.owner, kAddressSize);
    Put(&list, at + kContention, lock.contention);
    Put(&list, at + kEntries, lock.entries);
    Put(&list, at + kRecursion, lock.recursion);
    Put(&list, at + kShared, lock.sharedWaiters);
    Put(&list, at + kExclusive, lock.exclusiveWaiters);
  }
  return list;
}

// The buffer's view: its fields and room for the largest list of the
// machine, in whole pages; allocated to the byte, so that a read past it is
// caught.
size_t ViewSize(const Machine& m) {
  size_t largest = 0;
  for (const Process& p : m.processes) largest = std::max(largest, kFirstLock + p.locks.size() * kRecordSize);
  return (kHeaderSize + largest + kPage - 1) / kPage * kPage;
}

}  // namespace

namespace sim {

PVOID SimRtlCreateQueryDebugBuffer(ULONG maximumCommit, BOOLEAN useEventPair) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("RtlCreateQueryDebugBuffer", 0, Args("%u,%u", maximumCommit, useEventPair))) {
    return FailWith(f, (PVOID) nullptr);
  }
  size_t viewSize = ViewSize(m);
  char* buffer = new char[viewSize];
  std::memset(buffer, 0, kHeaderSize);
  PutSizeField(buffer + kViewSizeOffset, m.debugBuffersWithoutView ? 0 : viewSize);
  m.debugBuffers[buffer];
  return buffer;
}

NTSTATUS SimRtlQueryProcessDebugInformation(ULONG_PTR pid, ULONG mask, PVOID buffer) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("RtlQueryProcessDebugInformation", pid, Args("%u,0x%x", (unsigned)pid, mask))) {
    return f->status;
  }
  auto held = m.debugBuffers.find(buffer);
  if (held == m.debugBuffers.end() || mask != kLockInformation) {
    m.NoteMisuse("RtlQueryProcessDebugInformation with an unknown buffer or another mask");
    return STATUS_INVALID_PARAMETER;
  }
  Process* p = m.FindProcess((DWORD)pid);
  if (p == nullptr) return STATUS_INVALID_CID;
  const char* list = nullptr;
  if (p->lockListMissing) {
    // no list
  } else if (p->lockListOutside || m.debugBuffersWithoutView) {
    held->second = LockList(p->locks, p->lockCountShown);
    list = held->second.data();
  } else {
    std::string bytes = LockList(p->locks, p->lockCountShown);
    size_t viewSize = ViewSize(m);
    // The list may be put anywhere past the buffer's own fields.
    size_t at = std::min(std::max(p->lockListAt, kHeaderSize), viewSize);
    std::memcpy((char*)buffer + at, bytes.data(), std::min(bytes.size(), viewSize - at));
    list = (const char*)buffer + at;
  }
  std::memcpy((char*)buffer + kLockListOffset, &list, sizeof(list));
  return STATUS_SUCCESS;
}

NTSTATUS SimRtlDestroyQueryDebugBuffer(PVOID buffer) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("RtlDestroyQueryDebugBuffer", 0, "")) return f->status;
  if (m.debugBuffers.erase(buffer) == 0) {
    m.NoteMisuse("RtlDestroyQueryDebugBuffer of an unknown buffer");
    return STATUS_INVALID_PARAMETER;
  }
  delete[](char*) buffer;
  return STATUS_SUCCESS;
}

}  // namespace sim
