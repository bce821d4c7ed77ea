// The demo's plug-in library, with a mistake libraries really make: its
// entry routine starts a worker thread and waits until the worker ends. The
// entry routine runs with the loader lock held, and a new thread takes the
// loader lock before it runs its first line, so neither ever goes on.
#include <windows.h>

namespace {

DWORD WINAPI Indexer(LPVOID) { return 0; }

// Builds the plug-in's index on a thread of its own and waits for it.
__attribute__((noinline)) void BuildIndex() {
  HANDLE indexer = CreateThread(NULL, 0, Indexer, NULL, 0, NULL);
  if (indexer != NULL) WaitForSingleObject(indexer, INFINITE);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) BuildIndex();
  return TRUE;
}
