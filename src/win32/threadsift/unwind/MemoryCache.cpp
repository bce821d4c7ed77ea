#include <windows.h>

#include <cstring>
#include <map>
#include <string>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/unwind/MemoryCache.h"
#include "threadsift/thread/StackCopy.h"

namespace {

const Address kPageSize = 0x1000;

// The page at page (page-aligned), read whole the first time; null when the
// whole page cannot be read.
const std::string* CachedPage(ExaminedProcess& process, Address page) {
  CachedPages& pages =
      FindModule(process.modules, page) >= 0 ? process.pages.modulePages : process.pages.stackPages;
  CachedPages::iterator it = pages.find(page);
  if (it != pages.end()) return &it->second;
  std::string bytes(kPageSize, '\0');
  SIZE_T got = 0;
  if (!ReadProcessMemory(process.handle, (LPCVOID)(UINT_PTR)page, &bytes[0], kPageSize, &got) || got != kPageSize) {
    return NULL;
  }
  return &pages.insert(CachedPages::value_type(page, bytes)).first->second;
}

BOOL ReadPages(ExaminedProcess& process, const StackCopy& copy, Address address, BYTE* out, DWORD size, DWORD* done) {
  while (*done < size) {
    Address at = address + *done;
    DWORD copied = 0;
    if (const BYTE* bytes = CopiedStackBytes(copy, at, size - *done, &copied)) {
      memcpy(out + *done, bytes, copied);
      *done += copied;
      continue;
    }
    if (ReadsBelowStackFloor(copy, at, size - *done)) return FALSE;
    Address page = at & ~(kPageSize - 1);
    const std::string* bytes = CachedPage(process, page);
    if (bytes == NULL) {
      // Not readable as a whole page: read just what is asked, as it is.
      SIZE_T got = 0;
      BOOL ok = ReadProcessMemory(process.handle, (LPCVOID)(UINT_PTR)at, out + *done, size - *done, &got);
      *done += (DWORD)got;
      return ok;
    }
    DWORD inPage = (DWORD)(kPageSize - (at - page));
    DWORD n = size - *done < inPage ? size - *done : inPage;
    memcpy(out + *done, bytes->data() + (at - page), n);
    *done += n;
  }
  return TRUE;
}

}  // namespace

void ForgetStackPages(PageCache* pages) { pages->stackPages.clear(); }

bool HoldsModulePages(const PageCache& pages, Address address, DWORD size) {
  if (size == 0) return false;
  for (Address page = address & ~(kPageSize - 1); page < address + size; page += kPageSize) {
    if (pages.modulePages.count(page) == 0) return false;
  }
  return true;
}

void ForgetModulePages(PageCache* pages, Address base, Address end) {
  CachedPages& kept = pages->modulePages;
  kept.erase(kept.lower_bound(base & ~(kPageSize - 1)), kept.upper_bound(end));
}

BOOL ReadForWalk(ExaminedProcess& process, const StackCopy& copy, Address address, PVOID buffer, DWORD size,
                 LPDWORD read) {
  DWORD done = 0;
  BOOL ok = FALSE;
  try {
    ok = ReadPages(process, copy, address, (BYTE*)buffer, size, &done);
  } catch (...) {
    ok = FALSE;  // no memory for a page: the read fails, the walk goes on as the platform decides
  }
  if (read != NULL) *read = done;
  return ok;
}
