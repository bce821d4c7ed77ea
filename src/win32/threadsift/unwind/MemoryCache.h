#ifndef THREADSIFT_MEMORY_CACHE_H
#define THREADSIFT_MEMORY_CACHE_H

#include <windows.h>

#include <map>
#include <string>

#include "threadsift/base/Bitness.h"

struct ExaminedProcess;
struct StackCopy;

// The stack walk's reads of the examined process, served from whole pages
// read once: pages of listed modules (code and unwind data, which do not
// change) are kept for the whole process, other pages for one thread's walk,
// and the bytes of the thread's stack copy, where one was taken, come from it.
typedef std::map<Address, std::string> CachedPages;
struct PageCache {
  CachedPages modulePages;
  CachedPages stackPages;
};

// Forgets the pages outside the listed modules; called before each thread.
void ForgetStackPages(PageCache* pages);

// True when every page of [address, address + size) is a module page kept
// for the process (size above 0).
bool HoldsModulePages(const PageCache& pages, Address address, DWORD size);

// Forgets the kept pages of a module that is gone, [base, end].
void ForgetModulePages(PageCache* pages, Address base, Address end);

// Reads size bytes at address of the process for the walk of the thread
// whose stack copy is copy; never below the copy's floor. As the platform's
// read routine, with how many bytes were read in *read.
BOOL ReadForWalk(ExaminedProcess& process, const StackCopy& copy, Address address, PVOID buffer, DWORD size,
                 LPDWORD read);

#endif
