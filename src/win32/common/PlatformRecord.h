#ifndef THREADSIFT_COMMON_PLATFORM_RECORD_H
#define THREADSIFT_COMMON_PLATFORM_RECORD_H

#include <windows.h>

#include <cstring>

// Reads a field of a platform record at its byte offset, whatever the
// record's alignment.
template <typename T>
T ReadField(const BYTE* record, size_t offset) {
  T value;
  memcpy(&value, record + offset, sizeof(value));
  return value;
}

// An address of the examined process as the reports print it: 8 hexadecimal
// digits on 32-bit Windows, 16 on 64-bit.
#if defined(_WIN64)
typedef DWORD64 Address;
typedef unsigned long long PrintedAddress;
#define THREADSIFT_ADDRESS "%016llx"
#else
typedef DWORD Address;
typedef unsigned int PrintedAddress;
#define THREADSIFT_ADDRESS "%08x"
#endif

#endif
