#include <windows.h>

#include "threadsift/base/UserLibrary.h"

HMODULE UserLibrary() {
  HMODULE user = GetModuleHandleA("user32.dll");
  return user != NULL ? user : LoadLibraryA("user32.dll");
}
