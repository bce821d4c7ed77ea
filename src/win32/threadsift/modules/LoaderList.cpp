#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "common/NativeLayer.h"
#include "common/TargetMemory.h"
#include "threadsift/modules/LoaderList.h"
#include "threadsift/base/Utf8Text.h"

namespace {

// The native layer's class that names the 32-bit environment block of a
// process in the 32-bit layer (0 for any other process); a process of the
// caller's width has its block in its basic record.
const ULONG kProcessWow64Information = 26;

// Where the loader's records keep what the listing needs, in each width: the
// environment block's pointer to the loader data, the data's list of
// modules in load order, and each entry's base, size, path and base name (a
// counted string: its length in bytes, then its text's address).
struct LoaderLayout {
  Address loaderDataAt;
  Address loadOrderListAt;
  Address entryBaseAt;
  Address entrySizeAt;
  Address entryPathAt;
  Address entryBaseNameAt;
  Address textAddressAt;  // within a counted string
  size_t wordSize;
  size_t entryBytes;  // an entry up to the end of its base name
};

const size_t kLargestEntryBytes = 0x68;
const LoaderLayout kLayout32 = {0x0C, 0x0C, 0x18, 0x20, 0x24, 0x2C, 4, 4, 0x34};
const LoaderLayout kLayout64 = {0x18, 0x10, 0x30, 0x40, 0x48, 0x58, 8, 8, kLargestEntryBytes};

// No process loads more modules than this; a list that goes on is a loop.
const size_t kMaxLoaderModules = 8192;
// No name is longer than this many bytes.
const USHORT kMaxNameBytes = 0x1000;

// A counted string of an entry: its length in bytes and its text's address.
struct CountedText {
  USHORT length;
  Address text;
};

CountedText CountedTextAt(const LoaderLayout& layout, const BYTE* entry, Address offset) {
  CountedText counted = {ReadField<USHORT>(entry, (size_t)offset),
                         WordAt(entry + offset + layout.textAddressAt, layout.wordSize)};
  return counted;
}

// False, with the last error, for a length no name has.
bool IsNameLength(USHORT length) {
  if (length <= kMaxNameBytes && length % 2 == 0) return true;
  SetLastError(ERROR_INVALID_DATA);
  return false;
}

// Reads the text of a counted string from the process.
bool ReadText(HANDLE process, const CountedText& counted, std::vector<WCHAR>* wide) {
  if (!IsNameLength(counted.length)) return false;
  wide->assign(counted.length / 2, 0);
  return counted.length == 0 || ReadTargetMemory(process, counted.text, wide->data(), counted.length);
}

// The loader keeps a module's base name in its path's buffer, as the path's
// last part: the base name is then taken from the path's text already read.
// False when it lies anywhere else, wholly or in part.
bool TakeFromPath(const CountedText& path, const std::vector<WCHAR>& pathText, const CountedText& name,
                  std::vector<WCHAR>* wide) {
  if (name.text < path.text || (name.text - path.text) % 2 != 0) return false;
  Address offset = name.text - path.text;
  if (offset > path.length || name.length > path.length - offset) return false;
  wide->assign(pathText.begin() + (size_t)(offset / 2), pathText.begin() + (size_t)((offset + name.length) / 2));
  return true;
}

// Reads the entry at address whole, then its names; *next is its link.
bool ReadEntry(HANDLE process, const LoaderLayout& layout, Address address, LoaderModule* module, Address* next) {
  BYTE entry[kLargestEntryBytes];
  if (!ReadTargetMemory(process, address, entry, layout.entryBytes)) return false;
  *next = WordAt(entry, layout.wordSize);
  module->base = WordAt(entry + layout.entryBaseAt, layout.wordSize);
  module->size = ReadField<DWORD>(entry, (size_t)layout.entrySizeAt);
  CountedText path = CountedTextAt(layout, entry, layout.entryPathAt);
  CountedText baseName = CountedTextAt(layout, entry, layout.entryBaseNameAt);
  std::vector<WCHAR> pathText, baseNameText;
  if (!ReadText(process, path, &pathText) || !IsNameLength(baseName.length)) return false;
  if (!TakeFromPath(path, pathText, baseName, &baseNameText) && !ReadText(process, baseName, &baseNameText)) {
    return false;
  }
  module->path = AnsiFromWide(pathText.data(), pathText.size());
  module->baseName = AnsiFromWide(baseNameText.data(), baseNameText.size());
  return true;
}

// The environment block of a process of width; false, with the last error,
// when the native layer names none.
bool FindEnvironmentBlock(HANDLE process, ProcessWidth width, Address* block) {
  if (width == kToolWidth) {
    NativeProcessBasics basics;
    if (!QueryProcessBasics(process, &basics)) return false;
    *block = (Address)(UINT_PTR)basics.environmentBlock;
  } else {
    const char* failedCall = "";
    NtQueryInformationProcessFn query = FindNtQueryInformationProcess(&failedCall);
    if (query == NULL) return false;
    ULONG_PTR answer = 0;
    LONG status = query(process, kProcessWow64Information, &answer, sizeof(answer), NULL);
    if (status != 0) {
      SetLastErrorFromStatus(status);
      return false;
    }
    *block = (Address)answer;
  }
  if (*block == 0) SetLastError(ERROR_INVALID_DATA);
  return *block != 0;
}

}  // namespace

bool ReadLoaderList(HANDLE process, ProcessWidth width, std::vector<LoaderModule>* modules) {
  modules->clear();
  const LoaderLayout& layout = width == Width64 ? kLayout64 : kLayout32;
  Address block = 0, data = 0;
  if (!FindEnvironmentBlock(process, width, &block) ||
      !ReadTargetWord(process, block + layout.loaderDataAt, layout.wordSize, &data)) {
    return false;
  }
  if (data == 0) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  Address head = data + layout.loadOrderListAt;
  Address link = 0;
  if (!ReadTargetWord(process, head, layout.wordSize, &link)) return false;
  std::set<Address> seen;
  while (link != head) {
    if (modules->size() >= kMaxLoaderModules || !seen.insert(link).second) {
      SetLastError(ERROR_INVALID_DATA);
      return false;
    }
    LoaderModule module;
    if (!ReadEntry(process, layout, link, &module, &link)) return false;
    modules->push_back(module);
  }
  return true;
}
