#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "threadsift/base/Bitness.h"

namespace {

const DWORD kContext32Flags = 0x10007;  // i386 control, integer and segment registers

const char kModuleListingHeader32[] = "    Base        End         Size        Version         Path\n";
const char kModuleListingRule32[] = "==============================================================================\n";
const char kModuleListingHeader64[] = "    Base                End                 Size        Version         Path\n";
const char kModuleListingRule64[] =
    "==============================================================================================\n";

#if defined(_WIN64)
typedef BOOL(WINAPI* Wow64GetThreadContextFn)(HANDLE, WOW64_CONTEXT*);

// The 32-bit registers of a thread of a 32-bit process. The routine is found
// at run time: the first 64-bit systems have none (then its lookup's error).
bool ReadContext32(HANDLE thread, WOW64_CONTEXT* context) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC entry = kernel != NULL ? GetProcAddress(kernel, "Wow64GetThreadContext") : NULL;
  if (entry == NULL) return false;
  Wow64GetThreadContextFn read = reinterpret_cast<Wow64GetThreadContextFn>(reinterpret_cast<void*>(entry));
  memset(context, 0, sizeof(*context));
  context->ContextFlags = kContext32Flags;
  return read(thread, context) != FALSE;
}
#endif

}  // namespace

bool ReadWalkContext(HANDLE thread, ProcessWidth width, WalkContext* context) {
  context->width = width;
  memset(&context->native, 0, sizeof(context->native));
#if defined(_WIN64)
  memset(&context->wow64, 0, sizeof(context->wow64));
  if (width == Width32) return ReadContext32(thread, &context->wow64);
#endif
  context->native.ContextFlags = kToolContextFlags;
  return GetThreadContext(thread, &context->native) != FALSE;
}

bool SameRegisters(const WalkContext& a, const WalkContext& b) {
  if (a.width != b.width) return false;
#if defined(_WIN64)
  if (a.width == Width32) return memcmp(&a.wow64, &b.wow64, sizeof(a.wow64)) == 0;
#endif
  return memcmp(&a.native, &b.native, sizeof(a.native)) == 0;
}

#if defined(_WIN64)
Address ProgramCounterOf(const WalkContext& context) {
  return context.width == Width32 ? context.wow64.Eip : context.native.Rip;
}
Address FramePointerOf(const WalkContext& context) {
  return context.width == Width32 ? context.wow64.Ebp : context.native.Rbp;
}
Address StackPointerOf(const WalkContext& context) {
  return context.width == Width32 ? context.wow64.Esp : context.native.Rsp;
}
void* WalkRecordOf(WalkContext* context) {
  return context->width == Width32 ? (void*)&context->wow64 : (void*)&context->native;
}
bool WaitRegistersOf(const WalkContext& context, Address* count, Address* array) {
  if (context.width != Width64) return false;
  *count = context.native.Rdi;
  *array = context.native.R12;
  return true;
}
bool KeptRegisterOf(const WalkContext& context, KeptRegister which, Address* value) {
  if (context.width != Width64) return false;
  *value = which == KeptRdi ? context.native.Rdi : context.native.Rsi;
  return true;
}
#else
Address ProgramCounterOf(const WalkContext& context) { return context.native.Eip; }
Address FramePointerOf(const WalkContext& context) { return context.native.Ebp; }
Address StackPointerOf(const WalkContext& context) { return context.native.Esp; }
void* WalkRecordOf(WalkContext* context) { return &context->native; }
bool WaitRegistersOf(const WalkContext&, Address*, Address*) { return false; }
bool KeptRegisterOf(const WalkContext&, KeptRegister, Address*) { return false; }
#endif

const char* ContextCallOf(ProcessWidth width) {
  return width != kToolWidth ? "Wow64GetThreadContext" : "GetThreadContext";
}

DWORD WalkMachineOf(ProcessWidth width) { return width == Width32 ? IMAGE_FILE_MACHINE_I386 : kToolMachine; }

const char* ModuleListingHeader(ProcessWidth width) {
  return width == Width32 ? kModuleListingHeader32 : kModuleListingHeader64;
}

const char* ModuleListingRule(ProcessWidth width) {
  return width == Width32 ? kModuleListingRule32 : kModuleListingRule64;
}

UINT GetSystem32BitFolder(char* folder, UINT size) {
#if defined(_WIN64)
  return GetSystemWow64DirectoryA(folder, size);
#else
  (void)folder;
  (void)size;
  return 0;
#endif
}

std::string AddressDigits(Address value, ProcessWidth width) {
  char text[32];
  if (width == Width32) {
    snprintf(text, sizeof(text), "%08x", (unsigned)value);
  } else {
    snprintf(text, sizeof(text), "%016llx", (unsigned long long)value);
  }
  return text;
}
