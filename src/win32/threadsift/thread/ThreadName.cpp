#include <windows.h>

#include "threadsift/thread/ThreadName.h"

ThreadNameQuery FindThreadNameQuery() {
  for (const char* library : {"kernelbase.dll", "kernel32.dll"}) {
    HMODULE module = GetModuleHandleA(library);
    if (module == NULL) continue;
    FARPROC found = GetProcAddress(module, "GetThreadDescription");
    if (found != NULL) return reinterpret_cast<ThreadNameQuery>(reinterpret_cast<void*>(found));
  }
  return NULL;
}

bool ReadThreadName(ThreadNameQuery query, HANDLE thread, ImageText* name) {
  PWSTR text = NULL;
  if (query == NULL || query(thread, &text) < 0 || text == NULL) return false;
  size_t length = 0;
  while (length < kMaxThreadName && text[length] != 0) ++length;
  bool named = length > 0;
  if (named) name->assign(text, length);
  LocalFree(text);
  return named;
}
