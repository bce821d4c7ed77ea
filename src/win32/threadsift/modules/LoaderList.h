#ifndef THREADSIFT_LOADER_LIST_H
#define THREADSIFT_LOADER_LIST_H

#include <windows.h>

#include <string>
#include <vector>

#include "threadsift/base/Bitness.h"

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

// Reads the loader list of a process of width: of the tool's own width
// through the environment block the native layer names, of the other width
// (a 32-bit process seen from the 64-bit build) through the 32-bit block
// the native layer names to a 64-bit caller. False, with the last error,
// when the list cannot be read whole.
bool ReadLoaderList(HANDLE process, ProcessWidth width, std::vector<LoaderModule>* modules);

#endif
