#include <windows.h>

#include <cstring>

#include "threadsift/unwind/KeptWalk.h"
#include "threadsift/unwind/MemoryCache.h"
#include "threadsift/modules/ModuleTable.h"

namespace {

// True when [address, address + size) lies in one listed module, in pages
// the walk's page cache holds: they are read once and kept for the run.
bool FromKeptModulePages(const ExaminedProcess& process, Address address, DWORD size) {
  int module = FindModule(process.modules, address);
  if (module < 0 || size == 0 || FindModule(process.modules, address + size - 1) != module) return false;
  return HoldsModulePages(process.pages, address, size);
}

}  // namespace

void NoteWalkRead(const ExaminedProcess& process, const StackCopy& copy, Address address, DWORD size, BOOL ok,
                  DWORD done, WalkReads* reads) {
  if (!reads->complete) return;
  DWORD available = 0;
  const BYTE* bytes = CopiedStackBytes(copy, address, size, &available);
  if (ok && done == size && bytes != NULL && available == size) {
    if (reads->spans.size() >= kMaxNotedReads || reads->bytes.size() + size > kMaxNotedBytes) {
      reads->complete = false;
      return;
    }
    reads->spans.push_back(std::make_pair(address, size));
    reads->bytes.append((const char*)bytes, size);
    return;
  }
  // What else the walk reads may change while the thread runs.
  reads->complete = ok && done == size && FromKeptModulePages(process, address, size);
}

bool SameWalk(const KeptWalk& kept, const WalkContext& context, const StackCopy& copy) {
  if (!kept.kept || !SameRegisters(kept.context, context)) return false;
  size_t offset = 0;
  for (const std::pair<Address, DWORD>& span : kept.reads.spans) {
    DWORD available = 0;
    const BYTE* bytes = CopiedStackBytes(copy, span.first, span.second, &available);
    if (bytes == NULL || available != span.second) return false;
    if (memcmp(bytes, kept.reads.bytes.data() + offset, span.second) != 0) return false;
    offset += span.second;
  }
  return true;
}
