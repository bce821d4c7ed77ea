// The system process snapshot (information class 5) as the platform lays it
// out: process records chained by next-entry offsets, each followed by its
// thread records and its UTF-16 image name.
#ifndef SIM_SNAPSHOT_H
#define SIM_SNAPSHOT_H

#include <cstddef>

#include "Machine.h"

namespace sim {

// Bytes the snapshot of the machine needs.
size_t SnapshotSize(const Machine& m);
// Writes the snapshot into buffer, which holds at least SnapshotSize bytes.
void WriteSnapshot(const Machine& m, unsigned char* buffer);

}  // namespace sim

#endif
