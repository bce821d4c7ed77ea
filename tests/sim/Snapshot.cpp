#include "Snapshot.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sim {

namespace {

// Fields the platform fills in each record; the rest carries a filler byte,
// so that a reader that looks in the wrong place finds nonsense.
#if defined(_WIN64)
const size_t kNameLength = 56, kNameCapacity = 58, kNamePointer = 64, kProcessId = 80;
const size_t kThreadSize = 80, kThreadOwner = 40, kThreadId = 48, kPointerSize = 8;
size_t ThreadsAt(DWORD /*major*/) { return 256; }
#else
const size_t kNameLength = 56, kNameCapacity = 58, kNamePointer = 60, kProcessId = 68;
const size_t kThreadSize = 64, kThreadOwner = 32, kThreadId = 36, kPointerSize = 4;
// NT 4.0's process record lacks the 48 bytes of I/O counters.
size_t ThreadsAt(DWORD major) { return major <= 4 ? 136 : 184; }
#endif
const size_t kKernelTime = 0, kUserTime = 8, kCreateTime = 16;
const size_t kProcessCreateTime = 32;
const unsigned char kFiller = 0xA5;

size_t AlignUp(size_t n) { return (n + 7) & ~size_t(7); }

// The threads a snapshot lists: those that have not ended by the time it is
// taken.
std::vector<const Thread*> ListedThreads(const Process& p, int taken) {
  std::vector<const Thread*> listed;
  for (const Thread& t : p.threads) {
    if (t.ListedInSnapshot(taken)) listed.push_back(&t);
  }
  return listed;
}

size_t RecordSize(const Process& p, DWORD major, int taken) {
  size_t size = ThreadsAt(major) + ListedThreads(p, taken).size() * kThreadSize;
  if (p.named) size = AlignUp(size) + (p.name.size() + 1) * sizeof(WCHAR);
  return AlignUp(size);
}

void Put32(unsigned char* at, uint32_t value) { std::memcpy(at, &value, 4); }
void Put64(unsigned char* at, uint64_t value) { std::memcpy(at, &value, 8); }
void Put16(unsigned char* at, uint16_t value) { std::memcpy(at, &value, 2); }
void PutPointerSized(unsigned char* at, uint64_t value) { std::memcpy(at, &value, kPointerSize); }

// Writes the record at record; its name pointer is the name's address, or,
// when names are given as offsets, the name's offset from start.
void WriteRecord(const Process& p, DWORD major, int taken, uint64_t now, size_t next, unsigned char* record,
                 const unsigned char* start) {
  size_t size = RecordSize(p, major, taken);
  std::vector<const Thread*> threads = ListedThreads(p, taken);
  std::memset(record, kFiller, size);
  Put32(record + 0, (uint32_t)next);
  Put32(record + 4, (uint32_t)threads.size());
  Put64(record + kProcessCreateTime, p.CreatedInSnapshot(taken));
  PutPointerSized(record + kProcessId, p.id);
  size_t threadsEnd = ThreadsAt(major) + threads.size() * kThreadSize;
  unsigned char* thread = record + ThreadsAt(major);
  // The process's processor time over the clock is its first thread's.
  uint64_t overClock = p.UserTimeAt(now);
  for (const Thread* t : threads) {
    std::pair<uint64_t, uint64_t> times(0, 0);
    if (!t->times.empty()) times = t->times[std::min<size_t>((size_t)taken, t->times.size() - 1)];
    times.second += overClock;
    overClock = 0;
    Put64(thread + kKernelTime, times.first);
    Put64(thread + kUserTime, times.second);
    Put64(thread + kCreateTime,
          t->created.empty() ? 0 : t->created[std::min<size_t>((size_t)taken, t->created.size() - 1)]);
    PutPointerSized(thread + kThreadOwner, p.id);
    PutPointerSized(thread + kThreadId, t->id);
    thread += kThreadSize;
  }
  if (!p.named) {
    Put16(record + kNameLength, 0);
    Put16(record + kNameCapacity, 0);
    PutPointerSized(record + kNamePointer, 0);
    return;
  }
  unsigned char* name = record + AlignUp(threadsEnd);
  size_t bytes = p.name.size() * sizeof(WCHAR);
  std::memcpy(name, p.name.data(), bytes);
  std::memset(name + bytes, 0, sizeof(WCHAR));
  Put16(record + kNameLength, (uint16_t)bytes);
  Put16(record + kNameCapacity, (uint16_t)(bytes + sizeof(WCHAR)));
  uint64_t where = start != nullptr ? (uint64_t)(name - start) : (uint64_t)(uintptr_t)name;
  PutPointerSized(record + kNamePointer, where);
}

std::vector<const Process*> Listed(const Machine& m) {
  std::vector<const Process*> listed;
  for (const Process& p : m.processes) {
    bool ended = p.listedInSnapshots >= 0 && m.snapshotsTaken >= p.listedInSnapshots;
    if (p.inSnapshot && !ended && m.snapshotsTaken >= p.firstListedInSnapshot) listed.push_back(&p);
  }
  return listed;
}

// Copies the raw bytes and turns the name offsets of the records along the
// chain into addresses in buffer.
void WriteRawSnapshot(const std::vector<unsigned char>& raw, unsigned char* buffer) {
  if (!raw.empty()) std::memcpy(buffer, raw.data(), raw.size());
  size_t offset = 0;
  while (offset + kNamePointer + kPointerSize <= raw.size()) {
    uint64_t name = 0;
    std::memcpy(&name, buffer + offset + kNamePointer, kPointerSize);
    if (name != 0) PutPointerSized(buffer + offset + kNamePointer, (uint64_t)((uintptr_t)buffer + (uintptr_t)name));
    uint32_t next = 0;
    std::memcpy(&next, buffer + offset, 4);
    if (next == 0 || next >= raw.size() - offset) break;
    offset += next;
  }
}

void WriteRecords(const Machine& m, unsigned char* buffer, bool nameOffsets) {
  unsigned char* record = buffer;
  std::vector<const Process*> listed = Listed(m);
  for (size_t i = 0; i < listed.size(); ++i) {
    const Process& p = *listed[i];
    size_t size = RecordSize(p, m.majorVersion(), m.snapshotsTaken);
    bool last = i + 1 == listed.size();
    WriteRecord(p, m.majorVersion(), m.snapshotsTaken, m.performanceCounter, last ? 0 : size, record,
                nameOffsets ? buffer : nullptr);
    record += size;
  }
}

}  // namespace

size_t SnapshotSize(const Machine& m) {
  if (m.rawSnapshot() != nullptr) return std::max(m.rawSnapshot()->size(), m.snapshotSize());
  size_t size = 0;
  for (const Process* p : Listed(m)) size += RecordSize(*p, m.majorVersion(), m.snapshotsTaken);
  size = std::max(size, ThreadsAt(m.majorVersion()));  // an empty machine still gives one blank record
  return std::max(size, m.snapshotSize());
}

void WriteSnapshot(const Machine& m, unsigned char* buffer) {
  std::memset(buffer, 0, SnapshotSize(m));
  if (m.rawSnapshot() != nullptr) {
    WriteRawSnapshot(*m.rawSnapshot(), buffer);
  } else {
    WriteRecords(m, buffer, false);
  }
}

std::vector<unsigned char> SnapshotBytes(const Machine& m) {
  Machine plain = m;
  plain.SetSnapshotSize(0);
  std::vector<unsigned char> bytes(SnapshotSize(plain), 0);
  WriteRecords(plain, bytes.data(), true);
  return bytes;
}

size_t SnapshotNameField() { return kNamePointer; }

size_t SnapshotRecordAt(const Machine& m, size_t index) {
  std::vector<const Process*> listed = Listed(m);
  size_t at = 0;
  for (size_t i = 0; i < index; ++i) at += RecordSize(*listed[i], m.majorVersion(), m.snapshotsTaken);
  return at;
}

void PutSnapshotField(std::vector<unsigned char>* bytes, size_t at, uint32_t value) {
  Put32(bytes->data() + at, value);
}

void PutSnapshotPointer(std::vector<unsigned char>* bytes, size_t at, uint64_t value) {
  PutPointerSized(bytes->data() + at, value);
}

}  // namespace sim
