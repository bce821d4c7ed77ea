#include <windows.h>
#include <winver.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sym/ModuleVersion.h"

namespace {

const char kCompanyNameBlock[] = "\\StringFileInfo\\040904E4\\CompanyName";
const char kFileVersionBlock[] = "\\StringFileInfo\\040904E4\\FileVersion";
const char kRootBlock[] = "\\";
const char kMakersCompany[] = "Vantorel Products Inc.";
const char kPlaceholder[] = "-.--.----.----";
const size_t kMakersLabelWidth = 14;
const DWORD kExtraBytes = 32;

const VS_FIXEDFILEINFO* QueryRoot(void* block) {
  void* fixed = NULL;
  UINT length = 0;
  if (!VerQueryValueA(block, kRootBlock, &fixed, &length)) return NULL;
  return (const VS_FIXEDFILEINFO*)fixed;
}

const char* QueryText(void* block, const char* subBlock) {
  void* text = NULL;
  UINT length = 0;
  if (!VerQueryValueA(block, subBlock, &text, &length)) return NULL;
  return (const char*)text;
}

// Product version and file-version text, padded to 14 characters; false when
// the file-version text is missing.
bool ComposeMakersLabel(void* block, const VS_FIXEDFILEINFO* fixed, std::string* label) {
  const char* fileVersion = QueryText(block, kFileVersionBlock);
  if (fileVersion == NULL) return false;
  char scratch[80];
  sprintf(scratch, "%hu.%hu.%hu", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
          HIWORD(fixed->dwProductVersionLS));
  *label = scratch;
  *label += ".";
  *label += fileVersion;
  if (label->size() < kMakersLabelWidth) label->resize(kMakersLabelWidth, ' ');
  return true;
}

void ComposeFileVersionLabel(const VS_FIXEDFILEINFO* fixed, std::string* label) {
  char scratch[80];
  sprintf(scratch, "%hu.%02hu.%04hu.%04hu", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
          HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
  *label = scratch;
}

bool ComposeLabel(void* block, std::string* label) {
  const char* company = QueryText(block, kCompanyNameBlock);
  const VS_FIXEDFILEINFO* fixed = NULL;
  if (company != NULL && strcmp(company, kMakersCompany) == 0) {
    fixed = QueryRoot(block);
    if (fixed != NULL && ComposeMakersLabel(block, fixed, label)) return true;
  }
  if (fixed == NULL) fixed = QueryRoot(block);
  if (fixed == NULL) return false;
  ComposeFileVersionLabel(fixed, label);
  return true;
}

}  // namespace

std::string GetModuleVersion(const char* path) {
  std::string label;
  bool found = false;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &handle);
  if (size != 0) {
    void* block = malloc(size + kExtraBytes);
    if (block == NULL) {
      printf("FATAL: allocate %u byte(s) failed\n", (unsigned)(size + kExtraBytes));
    } else {
      if (GetFileVersionInfoA(path, handle, size, block)) found = ComposeLabel(block, &label);
      free(block);
    }
  }
  if (!found) label = kPlaceholder;
  return label;
}
