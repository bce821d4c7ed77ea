// The system process snapshot (information class 5) as the platform lays it
// out: process records chained by next-entry offsets, each followed by its
// thread records and its UTF-16 image name.
#ifndef SIM_SNAPSHOT_H
#define SIM_SNAPSHOT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Machine.h"

namespace sim {

// Bytes the snapshot of the machine needs.
size_t SnapshotSize(const Machine& m);
// Writes the snapshot into buffer, which holds at least SnapshotSize bytes.
void WriteSnapshot(const Machine& m, unsigned char* buffer);

// The snapshot the machine's processes make, with each name pointer as an
// offset from the start: what Machine::SetRawSnapshot takes, for a test to
// edit first.
std::vector<unsigned char> SnapshotBytes(const Machine& m);
// Where a record keeps the fields a test edits.
const size_t kSnapshotNextField = 0;
const size_t kSnapshotThreadCountField = 4;
size_t SnapshotNameField();
// Where the record of the machine's index-th listed process starts.
size_t SnapshotRecordAt(const Machine& m, size_t index);
// Writes a 32-bit field, or a pointer-sized one.
void PutSnapshotField(std::vector<unsigned char>* bytes, size_t at, uint32_t value);
void PutSnapshotPointer(std::vector<unsigned char>* bytes, size_t at, uint64_t value);

}  // namespace sim

#endif
