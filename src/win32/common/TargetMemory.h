#ifndef THREADSIFT_COMMON_TARGET_MEMORY_H
#define THREADSIFT_COMMON_TARGET_MEMORY_H

#include <windows.h>

#include "common/PlatformRecord.h"

// Reads exactly size bytes at address of process. False when fewer can be
// read, with the last error set: a short read the platform calls a success
// is a partial copy, never error 0.
bool ReadTargetMemory(HANDLE process, Address address, void* out, size_t size);

// A word of the process's width (wordSize 4 or 8 bytes) at address.
bool ReadTargetWord(HANDLE process, Address address, size_t wordSize, Address* word);

// A word of wordSize bytes (4 or 8) from bytes, whatever their alignment.
Address WordAt(const BYTE* bytes, size_t wordSize);

#endif
