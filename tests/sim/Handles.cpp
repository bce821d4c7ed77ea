// Handle tables of simulated processes: duplication into the tool, the
// native queries of an object's type, name and mutex state, the ids a
// thread or process handle names, and each process's environment block with
// its loader lock.
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"

using namespace sim;

namespace {

const size_t kWord = sizeof(void*);
const HANDLE kCurrentProcess = (HANDLE)(intptr_t)-1;
const DWORD kDuplicateCloseSource = 1;
const NTSTATUS kStatusInvalidHandle = (NTSTATUS)0xC0000008;
const NTSTATUS kStatusBufferTooSmall = (NTSTATUS)0xC0000023;
// Where the environment block keeps the loader lock's address.
const uint64_t kLoaderLockField = kWord == 8 ? 0x110 : 0xa0;

// The record a name or type query fills: the text's counted string, then
// its characters.
struct TextRecord {
  UNICODE_STRING text;
};

// The basic records of the native layer, as it lays them out.
struct MutantBasics {
  LONG currentCount;
  BOOLEAN ownedByCaller;
  BOOLEAN abandoned;
};

struct ProcessBasics {
  LONG exitStatus;
  PVOID environmentBlock;
  ULONG_PTR affinity;
  LONG basePriority;
  ULONG_PTR processId;
  ULONG_PTR parentId;
};

bool Waitable(const std::string& type) {
  for (const char* t : {"Event", "Mutant", "Semaphore", "Timer", "Thread", "Process"}) {
    if (type == t) return true;
  }
  return false;
}

const TargetHandle* ObjectOf(HANDLE handle) {
  const HandleEntry* entry = ActiveMachine().FindHandle(handle);
  return entry != nullptr ? entry->object : nullptr;
}

NTSTATUS FillText(const std::u16string& text, PVOID info, ULONG length, PULONG returned) {
  ULONG needed = (ULONG)(sizeof(TextRecord) + (text.size() + 1) * sizeof(WCHAR));
  if (returned != nullptr) *returned = needed;
  if (length < needed) return kStatusBufferTooSmall;
  TextRecord* record = (TextRecord*)info;
  WCHAR* chars = (WCHAR*)(record + 1);
  std::memcpy(chars, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  record->text.Length = (USHORT)(text.size() * sizeof(WCHAR));
  record->text.MaximumLength = (USHORT)(record->text.Length + sizeof(WCHAR));
  record->text.Buffer = text.empty() ? nullptr : chars;
  return STATUS_SUCCESS;
}

}  // namespace

namespace sim {

TargetHandle& Process::AddHandle(uint64_t value, const std::string& type, const std::u16string& name) {
  TargetHandle& entry = handleTable[value];
  entry.type = type;
  entry.name = name;
  return entry;
}

MemoryBlock& Process::SetLoaderLock(uint64_t section) {
  // A 32-bit process on the 64-bit host keeps it in its 32-bit block.
  bool narrow = bits == 32 && kWord == 8;
  size_t word = narrow ? 4 : kWord;
  MemoryBlock block;
  block.address = narrow ? kProcessEnvironmentBlock32 + 0xa0 : kProcessEnvironmentBlock + kLoaderLockField;
  block.bytes.assign(word, 0);
  for (size_t i = 0; i < word; ++i) block.bytes[i] = (unsigned char)(section >> (8 * i));
  memory.push_back(block);
  return memory.back();
}

HANDLE Machine::NewObjectHandle(const TargetHandle* object) {
  std::string kind = object->type == "Thread" ? "thread" : object->type == "Process" ? "process" : "object";
  HANDLE handle = NewHandle(kind, object->type, object->id);
  handles_[handle].object = object;
  return handle;
}

NTSTATUS SimNtQueryObject(HANDLE handle, ULONG infoClass, PVOID info, ULONG length, PULONG returned) {
  Machine& m = ActiveMachine();
  const TargetHandle* object = ObjectOf(handle);
  if (const FailRule* f = m.Enter("NtQueryObject", infoClass, Args("%p,%u,%u", handle, infoClass, length))) {
    return f->status != STATUS_SUCCESS ? f->status : STATUS_ACCESS_DENIED;
  }
  if (object == nullptr) return kStatusInvalidHandle;
  if (infoClass == 2) return FillText(std::u16string(object->type.begin(), object->type.end()), info, length, returned);
  if (infoClass != 1) return STATUS_INVALID_INFO_CLASS;
  // The name query of a file or pipe can block for ever.
  if (!Waitable(object->type)) m.NoteMisuse("NtQueryObject name of a " + object->type);
  return FillText(object->name, info, length, returned);
}

NTSTATUS SimNtQueryMutant(HANDLE handle, ULONG infoClass, PVOID info, ULONG length, PULONG returned) {
  Machine& m = ActiveMachine();
  const TargetHandle* object = ObjectOf(handle);
  if (const FailRule* f = m.Enter("NtQueryMutant", infoClass, Args("%p,%u,%u", handle, infoClass, length))) {
    return f->status != STATUS_SUCCESS ? f->status : STATUS_ACCESS_DENIED;
  }
  if (object == nullptr || object->type != "Mutant") return kStatusInvalidHandle;
  if (infoClass == 0) {
    if (length != sizeof(MutantBasics)) return STATUS_INFO_LENGTH_MISMATCH;
    MutantBasics basics = {object->holder != 0 ? 0 : 1, FALSE, object->abandoned ? (BOOLEAN)TRUE : (BOOLEAN)FALSE};
    std::memcpy(info, &basics, sizeof(basics));
  } else if (infoClass == 1 && !object->holderUnanswered) {
    if (length != sizeof(CLIENT_ID)) return STATUS_INFO_LENGTH_MISMATCH;
    CLIENT_ID owner;
    const Process* p = nullptr;
    for (const Process& candidate : m.processes) {
      for (const Thread& t : candidate.threads) {
        if (t.id == object->holder) p = &candidate;
      }
    }
    owner.UniqueProcess = (HANDLE)(uintptr_t)(p != nullptr ? p->id : 0);
    owner.UniqueThread = (HANDLE)(uintptr_t)object->holder;
    std::memcpy(info, &owner, sizeof(owner));
  } else {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (returned != nullptr) *returned = length;
  return STATUS_SUCCESS;
}

NTSTATUS SimNtQueryInformationProcess(HANDLE process, ULONG infoClass, PVOID info, ULONG length, PULONG returned) {
  Machine& m = ActiveMachine();
  const HandleEntry* entry = m.FindHandle(process);
  if (const FailRule* f = m.Enter("NtQueryInformationProcess", entry != nullptr ? entry->id : 0,
                                  Args("%u,%u", infoClass, length))) {
    return f->status != STATUS_SUCCESS ? f->status : STATUS_ACCESS_DENIED;
  }
  if (entry == nullptr || entry->kind != "process") return kStatusInvalidHandle;
  const ULONG kProcessWow64Information = 26;
  Process* target = m.ProcessOfHandle(process);
  if (infoClass == kProcessWow64Information && target != nullptr) {
    return AnswerWow64Information(*target, info, length, returned);
  }
  if (infoClass != 0) return STATUS_INVALID_INFO_CLASS;
  if (length != sizeof(ProcessBasics)) return STATUS_INFO_LENGTH_MISMATCH;
  ProcessBasics basics;
  std::memset(&basics, 0, sizeof(basics));
  basics.exitStatus = entry->object != nullptr && entry->object->ended ? 0 : (LONG)STILL_ACTIVE;
  basics.environmentBlock = (PVOID)(uintptr_t)kProcessEnvironmentBlock;
  basics.processId = entry->id;
  std::memcpy(info, &basics, sizeof(basics));
  if (returned != nullptr) *returned = sizeof(basics);
  return STATUS_SUCCESS;
}

bool AnswerForDuplicatedThread(HANDLE thread, ThreadBasicsAnswer* answer) {
  const TargetHandle* object = ObjectOf(thread);
  if (object == nullptr) return false;
  answer->exitStatus = object->ended ? 0 : (LONG)STILL_ACTIVE;
  answer->pid = object->process;
  answer->tid = object->id;
  return true;
}

}  // namespace sim

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, PHANDLE target, DWORD access,
                     BOOL inherit, DWORD options) {
  Machine& m = ActiveMachine();
  uint64_t value = (uint64_t)(uintptr_t)source;
  if (const FailRule* f = m.Enter("DuplicateHandle", value, Args("0x%llx,0x%x,%d,%u", (unsigned long long)value,
                                                                 access, inherit, options))) {
    return FailWith(f, FALSE);
  }
  if ((options & kDuplicateCloseSource) != 0) m.NoteMisuse("DuplicateHandle closes the target's handle");
  if (targetProcess != kCurrentProcess || target == nullptr) m.NoteMisuse("DuplicateHandle into another process");
  Process* p = m.ProcessOfHandle(sourceProcess);
  if (p == nullptr) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  auto entry = p->handleTable.find(value);
  if (entry == p->handleTable.end()) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  *target = m.NewObjectHandle(&entry->second);
  return TRUE;
}
