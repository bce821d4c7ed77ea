// The bundled demo's second program: a hang through the loader lock. A
// thread loads plugin.dll, whose entry routine waits for a thread it has
// started, while that thread waits for the loader lock the entry routine
// holds.
//
// It prints "pid <pid>", then "deadlocked" once the loading thread holds the
// loader lock and the plug-in's thread waits for it, and ends when its
// standard input closes.
#include <windows.h>

#include <cstdio>

namespace {

// The loader lock: the section the process environment block points at.
RTL_CRITICAL_SECTION* LoaderLock() {
  const BYTE* environment = (const BYTE*)((void**)NtCurrentTeb())[12];
  return *(RTL_CRITICAL_SECTION* const*)(environment + (sizeof(void*) == 8 ? 0x110 : 0xa0));
}

DWORD WINAPI LoadPlugins(LPVOID) {
  LoadLibraryA("plugin.dll");
  return 0;
}

}  // namespace

int main() {
  setvbuf(stdout, NULL, _IONBF, 0);
  DWORD loader = 0;
  if (CreateThread(NULL, 0, LoadPlugins, NULL, 0, &loader) == NULL) return 2;
  printf("pid %lu\n", GetCurrentProcessId());
  // Held by the loading thread, with a thread waiting for it.
  volatile RTL_CRITICAL_SECTION* lock = LoaderLock();
  while ((DWORD)(UINT_PTR)lock->OwningThread != loader || lock->LockCount < 1) Sleep(1);
  Sleep(200);
  printf("deadlocked\n");
  char line[16];
  while (fgets(line, sizeof(line), stdin) != NULL) {
  }
  // Ending the usual way would wait for the loader lock.
  TerminateProcess(GetCurrentProcess(), 0);
  return 0;
}
