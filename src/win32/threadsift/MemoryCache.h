#ifndef THREADSIFT_MEMORY_CACHE_H
#define THREADSIFT_MEMORY_CACHE_H

#include <windows.h>

#include "threadsift/Bitness.h"

// The stack walk's reads of the examined process, served from whole pages
// read once: pages of listed modules (code and unwind data, which do not
// change) are kept for the whole process, other pages for one thread's walk,
// and the bytes of the thread's stack copy, where one was taken, come from it.

// Forgets every page; called when the walk of process begins. The pages are
// read from process whatever handle the walk passes with a read (that of a
// symbol session shared by several processes).
void ForgetProcessPages(HANDLE process);

// Forgets the pages outside the listed modules and the stack copy; called
// before each thread.
void ForgetStackPages();

// The stack walk's read-memory routine.
BOOL CALLBACK ReadProcessMemoryCached(HANDLE process, Address address, PVOID buffer, DWORD size, LPDWORD read);

#endif
