#include <windows.h>
#include <winver.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "threadsift/modules/ModuleVersion.h"
#include "threadsift/report/ReportSink.h"

namespace {

const char kCompanyNameBlock[] = "\\StringFileInfo\\040904E4\\CompanyName";
const char kFileVersionBlock[] = "\\StringFileInfo\\040904E4\\FileVersion";
const char kRootBlock[] = "\\";
const char kMakersCompany[] = "Vantorel Products Inc.";
const DWORD kExtraBytes = 32;
const DWORD kFixedSignature = 0xFEEF04BD;

// A version block and the bytes the platform filled in it.
struct VersionBlock {
  void* data;
  DWORD size;
};

// The bytes of the block from at to its end; 0 when at lies outside it.
size_t RoomFrom(const VersionBlock& block, const void* at) {
  uintptr_t start = (uintptr_t)block.data;
  uintptr_t where = (uintptr_t)at;
  if (where < start || where - start >= block.size) return 0;
  return block.size - (size_t)(where - start);
}

// The fixed record, or null unless the platform returned one whole (by its
// length and inside the block) and signed.
const VS_FIXEDFILEINFO* QueryRoot(const VersionBlock& block) {
  void* fixed = NULL;
  UINT length = 0;
  if (!VerQueryValueA(block.data, kRootBlock, &fixed, &length) || fixed == NULL) return NULL;
  if (length < sizeof(VS_FIXEDFILEINFO) || RoomFrom(block, fixed) < sizeof(VS_FIXEDFILEINFO)) return NULL;
  const VS_FIXEDFILEINFO* record = (const VS_FIXEDFILEINFO*)fixed;
  return record->dwSignature == kFixedSignature ? record : NULL;
}

// The text of a string value, read only within the length the platform
// returned and the block, up to a terminator if one comes first; false when
// absent.
bool QueryText(const VersionBlock& block, const char* subBlock, std::string* text) {
  void* value = NULL;
  UINT length = 0;
  if (!VerQueryValueA(block.data, subBlock, &value, &length) || value == NULL) return false;
  const char* chars = (const char*)value;
  size_t room = std::min((size_t)length, RoomFrom(block, value));
  size_t end = 0;
  while (end < room && chars[end] != '\0') ++end;
  text->assign(chars, end);
  return true;
}

// Product version and file-version text; false when the file-version text is
// missing.
bool ComposeMakersLabel(const VersionBlock& block, const VS_FIXEDFILEINFO* fixed, std::string* label) {
  std::string fileVersion;
  if (!QueryText(block, kFileVersionBlock, &fileVersion)) return false;
  char scratch[80];
  sprintf(scratch, "%hu.%hu.%hu", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
          HIWORD(fixed->dwProductVersionLS));
  *label = scratch;
  *label += ".";
  *label += fileVersion;
  return true;
}

void ComposeFileVersionLabel(const VS_FIXEDFILEINFO* fixed, std::string* label) {
  char scratch[80];
  sprintf(scratch, "%hu.%02hu.%04hu.%04hu", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
          HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
  *label = scratch;
}

bool ComposeLabel(const VersionBlock& block, std::string* label) {
  std::string company;
  const VS_FIXEDFILEINFO* fixed = NULL;
  if (QueryText(block, kCompanyNameBlock, &company) && company == kMakersCompany) {
    fixed = QueryRoot(block);
    if (fixed != NULL && ComposeMakersLabel(block, fixed, label)) return true;
  }
  if (fixed == NULL) fixed = QueryRoot(block);
  if (fixed == NULL) return false;
  ComposeFileVersionLabel(fixed, label);
  return true;
}

// True when a failed size query says the file was read and holds no version
// resource, which every later read of the same file would say again.
bool HoldsNoVersionResource(DWORD error) {
  return error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
         error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_RESOURCE_LANG_NOT_FOUND;
}

}  // namespace

std::string GetModuleVersion(ReportSink& report, const char* path, bool* settled) {
  std::string label;
  bool found = false;
  *settled = false;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) {
    *settled = HoldsNoVersionResource(GetLastError());
  } else if (size > MAXDWORD - kExtraBytes) {
    *settled = true;  // a size that leaves no room for the spare bytes is no version information
  } else {
    void* block = malloc(size + kExtraBytes);
    if (block == NULL) {
      report.VersionAllocationFailure(size + kExtraBytes);
    } else {
      VersionBlock filled = {block, size};
      if (GetFileVersionInfoA(path, handle, size, block)) {
        found = ComposeLabel(filled, &label);
        *settled = true;
      }
      free(block);
    }
  }
  if (!found) label = kNoVersionLabel;
  return label;
}
