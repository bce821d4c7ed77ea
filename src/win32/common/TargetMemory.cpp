#include <windows.h>

#include <cstring>

#include "common/TargetMemory.h"

bool ReadTargetMemory(HANDLE process, Address address, void* out, size_t size) {
  SIZE_T got = 0;
  if (ReadProcessMemory(process, (LPCVOID)(UINT_PTR)address, out, size, &got) && got == size) return true;
  if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_PARTIAL_COPY);
  return false;
}

bool ReadTargetWord(HANDLE process, Address address, size_t wordSize, Address* word) {
  BYTE bytes[8] = {0};
  if (wordSize > sizeof(bytes) || !ReadTargetMemory(process, address, bytes, wordSize)) return false;
  *word = WordAt(bytes, wordSize);
  return true;
}

Address WordAt(const BYTE* bytes, size_t wordSize) {
  if (wordSize == sizeof(DWORD)) return (Address)ReadField<DWORD>(bytes, 0);
  return (Address)ReadField<UINT_PTR>(bytes, 0);
}
