#ifndef THREADSIFT_WAITED_OBJECT_H
#define THREADSIFT_WAITED_OBJECT_H

#include <windows.h>

#include "threadsift/base/Bitness.h"
#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/process/ProcessSnapshot.h"
#include "threadsift/report/ReportRecord.h"

enum HandleVerdict { WaitableHandle, NotWaitable, NoDuplication };

// Duplicates handle value of the process into the tool (never closing or
// changing the process's own), asks what it names and closes the copy at
// once. WaitableHandle with object filled in when it names a thread (but
// not waiter, a thread of the process), a process, a mutex, an event, a
// semaphore or a timer; NoDuplication when the process refuses duplication
// (object then holds the value alone); NotWaitable otherwise (a value that
// is no handle, closed, or of another type). Only a waitable object's name
// is asked: a file's or a pipe's name query can block for ever.
HandleVerdict DescribeHandle(const ExaminedProcess& process, DWORD waiter, Address value, WaitedObject* object);

// True when handle value of the process still names a mutex held by holder.
bool MutexStillHeldBy(const ExaminedProcess& process, Address value, DWORD holder);

// The address of the process's loader lock, as its environment block gives
// it (found through thread tid's where the process is of the other width);
// false when it cannot be read.
bool FindLoaderLock(const ExaminedProcess& process, DWORD tid, Address* section);

#endif
