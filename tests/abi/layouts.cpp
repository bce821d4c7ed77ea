// Compile-time checks of the record layouts the tools rely on. Built against
// the platform headers on Windows and against the simulated platform on Linux,
// so that neither the tool's offsets nor the simulation can drift.
#include <windows.h>

#include <cstddef>

#include "sym/SnapshotLayout.h"

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
