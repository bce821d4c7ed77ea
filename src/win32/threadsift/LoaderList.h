#ifndef THREADSIFT_LOADER_LIST_H
#define THREADSIFT_LOADER_LIST_H

#include <windows.h>

#include <string>
#include <vector>

#include "threadsift/Bitness.h"

// The modules of a process as its loader records them, in load order: the
// list in its process environment block, read from the process within
// bounds like every record of it (a list that loops, or points outside
// the process, ends the reading).
struct LoaderModule {
  Address base;
  DWORD size;
  std::string baseName;
  std::string path;
};

// Reads the 32-bit loader list of a 32-bit process seen from the 64-bit
// build, whose 32-bit environment block the native layer names. False, with
// the last error, when the list cannot be read whole.
bool ReadLoaderList32(HANDLE process, std::vector<LoaderModule>* modules);

#endif
