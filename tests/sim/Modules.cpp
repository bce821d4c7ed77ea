// The simulated process status and version libraries: the modules of a
// process and the version resources of files.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "Machine.h"
#include "PlatformCalls.h"

using namespace sim;

namespace {

const char kVersionMagic[4] = {'S', 'I', 'M', 'V'};

const Module* FindModule(HANDLE process, HMODULE handle) {
  Process* p = ActiveMachine().ProcessOfHandle(process);
  return p != nullptr ? p->ModuleAt((uint64_t)(uintptr_t)handle) : nullptr;
}

// Copies as much of text as fits with its terminator (or, when the machine
// cuts names unterminated, as fits without it); the platform returns the
// number of characters copied.
DWORD CopyName(const std::string& text, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  if (ActiveMachine().cutNamesUnterminated && text.size() >= size) {
    std::memcpy(out, text.data(), size);
    return size;
  }
  size_t n = std::min<size_t>(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return (DWORD)n;
}

template <typename Getter>
DWORD ModuleName(const char* op, HANDLE process, HMODULE handle, LPSTR out, DWORD size, Getter get) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter(op, (uint64_t)(uintptr_t)handle, Args("%p,%u", (void*)handle, size))) {
    return FailWith(f, (DWORD)0);
  }
  const Module* module = FindModule(process, handle);
  if (module == nullptr) return FailWithError(ERROR_INVALID_HANDLE, (DWORD)0);
  return CopyName(get(*module), out, size);
}

// The resource as one block: magic, a word that says whether the fixed
// record is there, the block's length, the fixed record (4-byte aligned, as
// the platform's), then "sub-block\0text\0" pairs and a final 0 (unless the
// last text goes unterminated); VerQueryValueA hands out pointers into it.
const size_t kFixedAt = 12;

std::string VersionBlock(const VersionResource& r) {
  VS_FIXEDFILEINFO fixed;
  std::memset(&fixed, 0, sizeof(fixed));
  fixed.dwSignature = r.signature;
  fixed.dwFileVersionMS = (DWORD)r.fileVersion[0] << 16 | r.fileVersion[1];
  fixed.dwFileVersionLS = (DWORD)r.fileVersion[2] << 16 | r.fileVersion[3];
  fixed.dwProductVersionMS = (DWORD)r.productVersion[0] << 16 | r.productVersion[1];
  fixed.dwProductVersionLS = (DWORD)r.productVersion[2] << 16 | r.productVersion[3];
  std::string block(kVersionMagic, sizeof(kVersionMagic));
  block += r.hasRoot ? std::string("\1\0\0\0", 4) : std::string(4, '\0');
  block += std::string(4, '\0');
  block.append((const char*)&fixed, sizeof(fixed));
  for (const auto& s : r.strings) {
    block += s.first;
    block += '\0';
    block += s.second;
    block += '\0';
  }
  block += '\0';
  if (r.lastTextUnterminated && !r.strings.empty()) block.resize(block.size() - 2);
  uint32_t length = (uint32_t)block.size();
  std::memcpy(&block[8], &length, 4);
  return block;
}

// The length of the text at [at, end) up to its terminator, or to end.
size_t BoundedLength(const char* at, const char* end) {
  const char* stop = (const char*)std::memchr(at, '\0', (size_t)(end - at));
  return (size_t)((stop != nullptr ? stop : end) - at);
}

}  // namespace

namespace sim {

// The modules a listing names: a 32-bit process's own only in the extended
// listing of 32-bit modules; its main image and its layer's modules in the
// plain one. A 64-bit process seen from the 32-bit build has none to list.
BOOL ListModules(const char* op, HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed, bool only32Bit) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter(op, 0, Args("%u", bytes))) return FailWith(f, FALSE);
  Process* p = m.ProcessOfHandle(process);
  if (p == nullptr || p->bits == 64) return FailWithError(ERROR_PARTIAL_COPY, FALSE);
  std::vector<uint64_t> loaded;
  for (const Module& module : p->modules) {
    if (module.LoadedAfter(m.ModuleListings())) loaded.push_back(module.base);
  }
  if (p->bits == 32 && !only32Bit) {
    loaded.resize(std::min<size_t>(loaded.size(), 1));
    for (const Module& module : p->layerModules) loaded.push_back(module.base);
  }
  size_t fit = std::min<size_t>(loaded.size(), bytes / sizeof(HMODULE));
  for (size_t i = 0; i < fit; ++i) modules[i] = (HMODULE)(uintptr_t)loaded[i];
  *needed = (DWORD)(loaded.size() * sizeof(HMODULE));
  return TRUE;
}

BOOL SimEnumProcessModulesEx(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed, DWORD filter) {
  const DWORD kList32BitModules = 0x01;
  return ListModules("EnumProcessModulesEx", process, modules, bytes, needed, filter == kList32BitModules);
}

BOOL SimK32EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed) {
  return ListModules("K32EnumProcessModules", process, modules, bytes, needed, false);
}

}  // namespace sim

BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed) {
  return ListModules("EnumProcessModules", process, modules, bytes, needed, false);
}

BOOL GetModuleInformation(HANDLE process, HMODULE handle, LPMODULEINFO info, DWORD bytes) {
  Machine& m = ActiveMachine();
  if (const FailRule* f =
          m.Enter("GetModuleInformation", (uint64_t)(uintptr_t)handle, Args("%p,%u", (void*)handle, bytes))) {
    return FailWith(f, FALSE);
  }
  if (bytes != sizeof(MODULEINFO)) return FailWithError(ERROR_INSUFFICIENT_BUFFER, FALSE);
  const Module* module = FindModule(process, handle);
  if (module == nullptr) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  info->lpBaseOfDll = (LPVOID)(uintptr_t)module->base;
  info->SizeOfImage = module->size;
  info->EntryPoint = (LPVOID)(uintptr_t)(module->base + 0x1000);
  return TRUE;
}

DWORD GetModuleBaseNameA(HANDLE process, HMODULE handle, LPSTR name, DWORD size) {
  return ModuleName("GetModuleBaseNameA", process, handle, name, size, [](const Module& mod) { return mod.baseName; });
}

DWORD GetModuleFileNameExA(HANDLE process, HMODULE handle, LPSTR path, DWORD size) {
  return ModuleName("GetModuleFileNameExA", process, handle, path, size, [](const Module& mod) { return mod.path; });
}

DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetFileVersionInfoSizeA", 0, Text(path))) return FailWith(f, (DWORD)0);
  *handle = 0;
  const VersionResource* resource = m.VersionOf(path);
  if (resource == nullptr) return FailWithError(ERROR_RESOURCE_TYPE_NOT_FOUND, (DWORD)0);
  return resource->reportedSize != 0 ? resource->reportedSize : (DWORD)VersionBlock(*resource).size();
}

BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD length, LPVOID data) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetFileVersionInfoA", 0, Text(path) + Args(",%u,%u", handle, length))) {
    return FailWith(f, FALSE);
  }
  const VersionResource* resource = m.VersionOf(path);
  if (resource == nullptr) return FailWithError(ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
  std::string block = VersionBlock(*resource);
  // A block cut short says so in its length, which VerQueryValueA keeps to.
  uint32_t copied = (uint32_t)std::min<size_t>(length, block.size());
  if (copied < kFixedAt) return FailWithError(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(&block[8], &copied, 4);
  std::memcpy(data, block.data(), copied);
  m.versionInHand = resource;
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("VerQueryValueA", 0, Text(subBlock))) return FailWith(f, FALSE);
  const char* p = (const char*)block;
  if (std::memcmp(p, kVersionMagic, sizeof(kVersionMagic)) != 0) {
    m.NoteMisuse("VerQueryValueA on a block GetFileVersionInfoA did not fill");
    return FALSE;
  }
  const VersionResource* resource = m.versionInHand;
  bool hasRoot = p[4] == '\1';
  uint32_t size = 0;
  std::memcpy(&size, p + 8, 4);
  const char* end = p + size;
  const char* fixed = p + kFixedAt;
  if (std::strcmp(subBlock, "\\") == 0) {
    bool whole = size >= kFixedAt + sizeof(VS_FIXEDFILEINFO);
    if (!hasRoot || (!whole && (resource == nullptr || !resource->rootPastEnd))) return FALSE;
    *buffer = (LPVOID)fixed;
    *length = resource != nullptr ? resource->rootLength : (UINT)sizeof(VS_FIXEDFILEINFO);
    return TRUE;
  }
  for (const char* entry = fixed + sizeof(VS_FIXEDFILEINFO); entry < end && *entry != '\0';) {
    const char* text = entry + BoundedLength(entry, end) + 1;
    if (text > end) return FALSE;
    size_t textLength = BoundedLength(text, end);
    if (strcasecmp(entry, subBlock) == 0) {
      *buffer = (LPVOID)text;
      *length = (UINT)(text + textLength < end ? textLength + 1 : textLength);
      if (resource != nullptr && resource->textLengths.count(entry) != 0) *length = resource->textLengths.at(entry);
      return TRUE;
    }
    entry = text + textLength + 1;
  }
  return FALSE;
}
