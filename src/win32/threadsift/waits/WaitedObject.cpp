#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <vector>

#include "common/NativeLayer.h"
#include "common/TargetMemory.h"
#include "threadsift/base/ScopedHandle.h"
#include "threadsift/thread/ThreadOpen.h"
#include "threadsift/waits/WaitedObject.h"

namespace {

const ULONG kObjectNameInformation = 1;
const ULONG kObjectTypeInformation = 2;
const ULONG kMutantBasicInformation = 0;
const ULONG kMutantOwnerInformation = 1;
const LONG kStillActive = 259;
// Handles are multiples of 4 below this; larger or odd values, and the
// pseudo-handles (-1 to -6), name nothing in another process.
const Address kHandleLimit = 0x1000000;
// Room for an object's name or type with its record.
const size_t kTextRoom = 2048;

struct MutantBasics {
  LONG currentCount;
  BOOLEAN ownedByCaller;
  BOOLEAN abandoned;
};

// Where the process's environment block keeps the loader lock's address,
// and where a 32-bit thread's environment block keeps the 32-bit process's.
const Address kLoaderLockField = sizeof(void*) == 8 ? 0x110 : 0xa0;
const Address kLoaderLockField32 = 0xa0;
const Address kProcessBlockField32 = 0x30;

struct TypeName {
  const char* name;
  ObjectKind kind;
};

const TypeName kWaitableTypes[] = {
    {"Thread", ThreadObject}, {"Process", ProcessObject},     {"Mutant", MutexObject},
    {"Event", EventObject},   {"Semaphore", SemaphoreObject}, {"Timer", TimerObject},
};

// Asks an object's type or name; false when the platform gives no text that
// lies within the buffer it was given.
bool QueryText(HANDLE object, ULONG infoClass, ImageText* text) {
  const char* failedCall = "";
  NtQueryObjectFn query = FindNtQueryObject(&failedCall);
  if (query == NULL) return false;
  std::vector<ULONG_PTR> room(kTextRoom / sizeof(ULONG_PTR));
  BYTE* buffer = (BYTE*)room.data();
  ULONG size = (ULONG)(room.size() * sizeof(ULONG_PTR));
  if (query(object, infoClass, buffer, size, NULL) != 0) return false;
  UNICODE_STRING counted;
  memcpy(&counted, buffer, sizeof(counted));
  text->clear();
  if (counted.Buffer == NULL || counted.Length == 0) return true;
  const BYTE* start = (const BYTE*)counted.Buffer;
  if (start < buffer || start > buffer + size || counted.Length % sizeof(WCHAR) != 0 ||
      counted.Length > (size_t)(buffer + size - start)) {
    return false;
  }
  text->assign((const WCHAR*)start, counted.Length / sizeof(WCHAR));
  return true;
}

ImageText Wide(const char* text) { return ImageText(text, text + strlen(text)); }

// The name a program gives an object, without the folders of the namespace
// that hold it ("\Sessions\1\BaseNamedObjects\name" names "name").
ImageText ProgramName(const ImageText& full) {
  ImageText folder = Wide("\\BaseNamedObjects\\");
  size_t at = full.rfind(folder);
  return at == ImageText::npos ? full : full.substr(at + folder.size());
}

bool IsWaitableType(const ImageText& type, ObjectKind* kind) {
  for (const TypeName& t : kWaitableTypes) {
    if (type == Wide(t.name)) {
      *kind = t.kind;
      return true;
    }
  }
  return false;
}

// The thread a duplicated thread handle names; false when the waiter itself.
bool DescribeThread(const ExaminedProcess& process, DWORD waiter, HANDLE copy, WaitedObject* object) {
  NativeThreadBasics basics;
  if (!QueryThreadBasics(copy, &basics)) return false;
  object->id = (DWORD)(UINT_PTR)basics.clientId.UniqueThread;
  object->process = (DWORD)(UINT_PTR)basics.clientId.UniqueProcess;
  object->ended = basics.exitStatus != kStillActive;
  return object->id != 0 && !(object->id == waiter && object->process == (DWORD)process.pid);
}

bool DescribeProcess(HANDLE copy, WaitedObject* object) {
  NativeProcessBasics basics;
  if (!QueryProcessBasics(copy, &basics)) return false;
  object->id = (DWORD)basics.processId;
  object->ended = basics.exitStatus != kStillActive;
  return object->id != 0;
}

// A mutex's state: abandoned, and its holder where the platform says it.
void DescribeMutex(HANDLE copy, WaitedObject* object) {
  const char* failedCall = "";
  NtQueryMutantFn query = FindNtQueryMutant(&failedCall);
  if (query == NULL) return;
  MutantBasics basics;
  if (query(copy, kMutantBasicInformation, &basics, sizeof(basics), NULL) == 0) object->abandoned = basics.abandoned != 0;
  CLIENT_ID owner;
  if (query(copy, kMutantOwnerInformation, &owner, sizeof(owner), NULL) == 0) {
    object->holderKnown = true;
    object->holder = (DWORD)(UINT_PTR)owner.UniqueThread;
    object->holderProcess = (DWORD)(UINT_PTR)owner.UniqueProcess;
  }
}

HandleVerdict DescribeCopy(const ExaminedProcess& process, DWORD waiter, HANDLE copy, WaitedObject* object) {
  ImageText type;
  if (!QueryText(copy, kObjectTypeInformation, &type) || !IsWaitableType(type, &object->kind)) return NotWaitable;
  if (object->kind == ThreadObject && !DescribeThread(process, waiter, copy, object)) return NotWaitable;
  if (object->kind == ProcessObject && !DescribeProcess(copy, object)) return NotWaitable;
  if (object->kind == MutexObject) DescribeMutex(copy, object);
  ImageText name;
  if (QueryText(copy, kObjectNameInformation, &name)) object->name = ProgramName(name);
  return WaitableHandle;
}

}  // namespace

HandleVerdict DescribeHandle(const ExaminedProcess& process, DWORD waiter, Address value, WaitedObject* object) {
  *object = WaitedObject{value, HandleOnly, ImageText(), 0, 0, false, false, 0, 0, false, false};
  if (value == 0 || value % 4 != 0 || value >= kHandleLimit) return NotWaitable;
  HANDLE copy = NULL;
  if (!DuplicateHandle(process.handle, (HANDLE)(UINT_PTR)value, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return GetLastError() == ERROR_ACCESS_DENIED ? NoDuplication : NotWaitable;
  }
  ScopedHandle owner(copy);
  return DescribeCopy(process, waiter, copy, object);
}

bool MutexStillHeldBy(const ExaminedProcess& process, Address value, DWORD holder) {
  WaitedObject object;
  return DescribeHandle(process, 0, value, &object) == WaitableHandle && object.kind == MutexObject &&
         object.holderKnown && object.holder == holder;
}

bool FindLoaderLock(const ExaminedProcess& process, DWORD tid, Address* section) {
  const char* failedCall = "";
  Address block = 0;
  if (process.width == kToolWidth) {
    NativeProcessBasics basics;
    if (!QueryProcessBasics(process.handle, &basics)) return false;
    block = (Address)(UINT_PTR)basics.environmentBlock;
    if (!ReadTargetWord(process.handle, block + kLoaderLockField, sizeof(void*), section)) return false;
    return *section != 0;
  }
  // The 32-bit process's own environment block, which the native layer
  // names to a 64-bit caller only on some systems, is named by the 32-bit
  // environment block of each of its threads.
  HANDLE thread = OpenThreadQuietly(kThreadAllAccess, (DWORD)process.pid, tid, &failedCall);
  if (thread == NULL) return false;
  ScopedHandle owner(thread);
  NativeThreadBasics basics;
  if (!QueryThreadBasics(thread, &basics)) return false;
  Address threadBlock = (Address)(UINT_PTR)basics.environmentBlock;
  if (threadBlock == 0 ||
      !ReadTargetWord(process.handle, threadBlock + kEnvironmentBlock32Offset + kProcessBlockField32, 4, &block) ||
      block == 0 || !ReadTargetWord(process.handle, block + kLoaderLockField32, 4, section)) {
    return false;
  }
  return *section != 0;
}
