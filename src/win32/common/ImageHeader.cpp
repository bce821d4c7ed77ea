#include <windows.h>

#include "common/ImageHeader.h"
#include "common/NativeLayer.h"
#include "common/TargetMemory.h"

namespace {

const Address kNewHeaderOffsetAt = 0x3C;
const DWORD kPeSignature = 0x00004550;  // "PE\0\0"
const DWORD kMachineOffset = 4;
const DWORD kFirstPage = 0x1000;

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);

// Where a process's environment block keeps its main image's address.
const Address kImageBaseField = 2 * sizeof(void*);

// Reading the header of a process's main image needs no more than this.
const DWORD kQueryAndRead = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

}  // namespace

bool ReadFileHeaderField(HANDLE process, Address base, DWORD size, DWORD offset, void* field, DWORD bytes) {
  DWORD header = 0;
  DWORD signature = 0;
  DWORD room = size != 0 ? size : kFirstPage;
  if (!ReadTargetMemory(process, base + kNewHeaderOffsetAt, &header, sizeof(header))) return false;
  if (header >= room || room - header < offset + bytes || offset + bytes < offset) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return false;
  }
  if (!ReadTargetMemory(process, base + header, &signature, sizeof(signature))) return false;
  if (signature != kPeSignature) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return false;
  }
  return ReadTargetMemory(process, base + header + offset, field, bytes);
}

bool ReadImageMachine(HANDLE process, Address base, WORD* machine) {
  return ReadFileHeaderField(process, base, 0, kMachineOffset, machine, sizeof(*machine));
}

bool PlatformSaysWow64(HANDLE process) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC entry = kernel != NULL ? GetProcAddress(kernel, "IsWow64Process") : NULL;
  if (entry == NULL) return false;
  BOOL wow64 = FALSE;
  IsWow64ProcessFn ask = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(entry));
  return ask(process, &wow64) && wow64;
}

bool IsThirtyTwoBitProcess(DWORD pid) {
  HANDLE process = OpenProcess(kQueryAndRead, FALSE, pid);
  if (process == NULL) return false;
  // The process's environment block in the tool's width names its main
  // image (also for a 32-bit process on 64-bit Windows); where its header
  // cannot be read, the platform's answer is taken.
  NativeProcessBasics basics;
  Address image = 0;
  WORD machine = 0;
  bool read = QueryProcessBasics(process, &basics) && basics.environmentBlock != NULL &&
              ReadTargetWord(process, (Address)(UINT_PTR)basics.environmentBlock + kImageBaseField, sizeof(void*),
                             &image) &&
              image != 0 && ReadImageMachine(process, image, &machine);
  bool thirtyTwo = read ? machine == IMAGE_FILE_MACHINE_I386 : PlatformSaysWow64(process);
  CloseHandle(process);
  return thirtyTwo;
}
