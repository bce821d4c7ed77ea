#include <windows.h>
#include <winternl.h>

#include <cstring>

#include "common/NativeLayer.h"
#include "threadsift/thread/ThreadOpen.h"

HANDLE OpenThreadQuietly(DWORD access, DWORD pid, DWORD tid, const char** failedCall) {
  NtOpenThreadFn ntOpenThread = FindNtOpenThread(failedCall);
  if (ntOpenThread == NULL) return NULL;
  OBJECT_ATTRIBUTES attributes;
  memset(&attributes, 0, sizeof(attributes));
  attributes.Length = sizeof(attributes);
  // With the process named too, a thread id that another process has taken
  // over since the snapshot is refused instead of opened.
  CLIENT_ID client;
  client.UniqueProcess = (HANDLE)(UINT_PTR)pid;
  client.UniqueThread = (HANDLE)(UINT_PTR)tid;
  HANDLE thread = NULL;
  LONG status = ntOpenThread(&thread, access, &attributes, &client);
  if (status != 0) {
    SetLastErrorFromStatus(status);
    *failedCall = "NtOpenThread";
    return NULL;
  }
  return thread;
}

bool HasEnded(HANDLE thread) {
  DWORD status = 0;
  return GetExitCodeThread(thread, &status) && status != STILL_ACTIVE;
}
