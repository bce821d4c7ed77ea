#ifndef THREADSIFT_EXAMINED_PROCESS_H
#define THREADSIFT_EXAMINED_PROCESS_H

#include <windows.h>

#include <string>

#include "threadsift/base/Bitness.h"
#include "threadsift/unwind/MemoryCache.h"
#include "threadsift/modules/ModuleTable.h"
#include "threadsift/modules/SymbolSession.h"

// The process under examination, as everything that reads it sees it: made
// when the process is opened, passed down to the walk, the naming, -w, -c
// and the sampler, and gone with the end of its report, so that nothing of
// one process reaches the next.
struct ExaminedProcess {
  HANDLE handle = NULL;
  int pid = 0;
  ProcessWidth width = kToolWidth;  // decided from its main image once its modules are listed
  ModuleTable modules;
  PageCache pages;
  SymbolSession* symbols = NULL;  // its own session, or the one a sweep shares
  LineLookup lineLookup = NULL;   // the image help library's source-line lookup, or null
  // For a process of the other width: the system folder its modules are
  // listed in, and the folder that holds their files of its width.
  std::string systemFolder;
  std::string system32BitFolder;
};

#endif
