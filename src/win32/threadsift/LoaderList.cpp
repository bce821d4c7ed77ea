#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "common/NativeLayer.h"
#include "common/TargetMemory.h"
#include "threadsift/LoaderList.h"

namespace {

// Where the native layer answers with the 32-bit environment block of a
// process in the 32-bit layer (0 for any other process).
const ULONG kProcessWow64Information = 26;

// The 32-bit records: the environment block's pointer to the loader data,
// the data's list of modules in load order, and each entry's fields.
const Address kLoaderDataAt = 0x0C;
const Address kLoadOrderListAt = 0x0C;
const Address kEntryBaseAt = 0x18;
const Address kEntrySizeAt = 0x20;
const Address kEntryPathAt = 0x24;      // its length in bytes, then its text's address 4 bytes on
const Address kEntryBaseNameAt = 0x2C;  // the same

// No process loads more modules than this; a list that goes on is a loop.
const size_t kMaxLoaderModules = 8192;
// No name is longer than this many bytes.
const USHORT kMaxNameBytes = 0x1000;

bool ReadWord32(HANDLE process, Address at, DWORD* word) { return ReadTargetMemory(process, at, word, sizeof(*word)); }

// A counted 32-bit string of the process as text of the ANSI code page.
bool ReadName32(HANDLE process, Address at, std::string* name) {
  USHORT length = 0;
  DWORD text = 0;
  if (!ReadTargetMemory(process, at, &length, sizeof(length)) || !ReadWord32(process, at + 4, &text)) return false;
  if (length > kMaxNameBytes || length % 2 != 0) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  std::vector<WCHAR> wide(length / 2 + 1, 0);
  if (length != 0 && !ReadTargetMemory(process, text, wide.data(), length)) return false;
  char narrow[kMaxNameBytes];
  int made = length == 0 ? 0
                         : WideCharToMultiByte(CP_ACP, 0, wide.data(), length / 2, narrow, (int)sizeof(narrow),
                                               NULL, NULL);
  name->assign(narrow, made > 0 ? (size_t)made : 0);
  return true;
}

bool ReadEntry32(HANDLE process, Address entry, LoaderModule* module) {
  DWORD base = 0;
  if (!ReadWord32(process, entry + kEntryBaseAt, &base) || !ReadWord32(process, entry + kEntrySizeAt, &module->size)) {
    return false;
  }
  module->base = base;
  return ReadName32(process, entry + kEntryPathAt, &module->path) &&
         ReadName32(process, entry + kEntryBaseNameAt, &module->baseName);
}

}  // namespace

bool ReadLoaderList32(HANDLE process, std::vector<LoaderModule>* modules) {
  modules->clear();
  const char* failedCall = "";
  NtQueryInformationProcessFn query = FindNtQueryInformationProcess(&failedCall);
  if (query == NULL) return false;
  ULONG_PTR block = 0;
  LONG status = query(process, kProcessWow64Information, &block, sizeof(block), NULL);
  if (status != 0) {
    SetLastErrorFromStatus(status);
    return false;
  }
  DWORD data = 0;
  if (block == 0 || !ReadWord32(process, block + kLoaderDataAt, &data)) {
    if (block == 0) SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  Address head = (Address)data + kLoadOrderListAt;
  DWORD link = 0;
  if (!ReadWord32(process, head, &link)) return false;
  std::set<Address> seen;
  while ((Address)link != head) {
    if (modules->size() >= kMaxLoaderModules || !seen.insert(link).second) {
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    LoaderModule module;
    if (!ReadEntry32(process, link, &module)) return false;
    modules->push_back(module);
    if (!ReadWord32(process, link, &link)) return false;
  }
  return true;
}
