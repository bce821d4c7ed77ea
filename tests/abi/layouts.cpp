// Compile-time checks of the record layouts the tools rely on. Built against
// the platform headers on Windows and against the simulated platform on Linux,
// so that neither the tool's offsets nor the simulation can drift.
#include <windows.h>

#include <cstddef>

#include "threadsift/waits/SectionLayout.h"
#include "threadsift/process/SnapshotLayout.h"

#if defined(_WIN64)
static_assert(sizeof(void*) == 8, "64-bit build");
#else
static_assert(sizeof(void*) == 4, "32-bit build");
#endif

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4, "32-bit integers");
static_assert(sizeof(WCHAR) == 2, "UTF-16 text");
static_assert(sizeof(HANDLE) == sizeof(void*), "pointer-sized handles");

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
static_assert(offsetof(OSVERSIONINFOA, dwMajorVersion) == 4, "OSVERSIONINFOA.dwMajorVersion");

static_assert(sizeof(LUID) == 8, "LUID");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "TOKEN_PRIVILEGES with one entry");
static_assert(offsetof(TOKEN_PRIVILEGES, Privileges) == 4, "TOKEN_PRIVILEGES.Privileges");
static_assert(offsetof(LUID_AND_ATTRIBUTES, Attributes) == 8, "LUID_AND_ATTRIBUTES.Attributes");

static_assert(TOKEN_ADJUST_PRIVILEGES == 0x20 && TOKEN_QUERY == 0x8, "token access");
static_assert(SE_PRIVILEGE_ENABLED == 2, "SE_PRIVILEGE_ENABLED");

// The snapshot's thread records: a fixed head of times and the client id.
#if defined(_WIN64)
static_assert(kThreadRecordSize == 80 && kThreadIdOffset == 48, "64-bit thread record");
static_assert(kProcessImageNameOffset == 64 && kProcessIdOffset == 80, "64-bit process record");
#else
static_assert(kThreadRecordSize == 64 && kThreadIdOffset == 36, "32-bit thread record");
static_assert(kProcessImageNameOffset == 60 && kProcessIdOffset == 68, "32-bit process record");
static_assert(kProcessThreadsOffset == kProcessThreadsOffsetNt4 + 48, "the I/O counters added after NT 4.0");
#endif

// Stack walk records: the registers the walk starts from and the fields of
// the frame record it reads.
#include <imagehlp.h>
#include <psapi.h>
#include <winternl.h>

#if defined(_WIN64)
static_assert(offsetof(CONTEXT, ContextFlags) == 48, "CONTEXT.ContextFlags");
static_assert(offsetof(CONTEXT, Rsp) == 152 && offsetof(CONTEXT, Rbp) == 160 && offsetof(CONTEXT, Rip) == 248,
              "CONTEXT registers");
static_assert(sizeof(CONTEXT) == 1232, "CONTEXT");
static_assert(sizeof(STACKFRAME64) == 264 && offsetof(STACKFRAME64, Params) == 88, "STACKFRAME64");
static_assert(sizeof(IMAGEHLP_SYMBOL64) == 32 && offsetof(IMAGEHLP_SYMBOL64, Name) == 28, "IMAGEHLP_SYMBOL64");
static_assert(sizeof(IMAGEHLP_LINE64) == 40 && offsetof(IMAGEHLP_LINE64, FileName) == 24, "IMAGEHLP_LINE64");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48 && sizeof(CLIENT_ID) == 16, "native records");
static_assert(sizeof(MODULEINFO) == 24, "MODULEINFO");
#else
static_assert(offsetof(CONTEXT, Ebp) == 180 && offsetof(CONTEXT, Eip) == 184 && offsetof(CONTEXT, Esp) == 196,
              "CONTEXT registers");
// The platform headers add the extended registers (716 bytes in all) and a
// longer KDHELP; the fields the walk uses keep their places.
static_assert(sizeof(CONTEXT) >= 204, "CONTEXT");
static_assert(sizeof(STACKFRAME) >= 116, "STACKFRAME");
static_assert(offsetof(STACKFRAME, AddrFrame) == 24 && offsetof(STACKFRAME, AddrStack) == 36, "STACKFRAME addresses");
static_assert(offsetof(STACKFRAME, Params) == 52, "STACKFRAME.Params");
static_assert(sizeof(IMAGEHLP_SYMBOL) == 24 && offsetof(IMAGEHLP_SYMBOL, MaxNameLength) == 16, "IMAGEHLP_SYMBOL");
static_assert(sizeof(IMAGEHLP_LINE) == 20 && offsetof(IMAGEHLP_LINE, FileName) == 12, "IMAGEHLP_LINE");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24 && sizeof(CLIENT_ID) == 8, "native records");
static_assert(sizeof(MODULEINFO) == 12, "MODULEINFO");
#endif
static_assert(sizeof(VS_FIXEDFILEINFO) == 52 && offsetof(VS_FIXEDFILEINFO, dwProductVersionLS) == 20,
              "VS_FIXEDFILEINFO");

#if defined(SIMWIN_API_H) && !defined(_WIN64)
// The simulated platform keeps the records exactly as NT 4.0 defines them.
static_assert(sizeof(CONTEXT) == 204 && sizeof(STACKFRAME) == 116, "NT 4.0 record sizes");
#endif

#if !defined(SIMWIN_API_H)
// -w reads critical sections and their debug records from the examined
// process's memory with the tool's own layout of them.
static_assert(sizeof(SectionImage) == sizeof(RTL_CRITICAL_SECTION), "critical section size");
static_assert(offsetof(SectionImage, debugInfo) == offsetof(RTL_CRITICAL_SECTION, DebugInfo) &&
                  offsetof(SectionImage, recursionCount) == offsetof(RTL_CRITICAL_SECTION, RecursionCount) &&
                  offsetof(SectionImage, owningThread) == offsetof(RTL_CRITICAL_SECTION, OwningThread),
              "critical section fields");
static_assert(offsetof(SectionDebugImage, criticalSection) == offsetof(RTL_CRITICAL_SECTION_DEBUG, CriticalSection),
              "critical section debug record");
#endif
