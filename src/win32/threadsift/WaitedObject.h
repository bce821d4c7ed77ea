#ifndef THREADSIFT_WAITED_OBJECT_H
#define THREADSIFT_WAITED_OBJECT_H

#include <windows.h>

#include "threadsift/Bitness.h"
#include "threadsift/ExaminedProcess.h"
#include "threadsift/ProcessSnapshot.h"

// What a handle of the examined process names, as far as -w can tell: the
// kinds of object a thread waits on.
enum ObjectKind { HandleOnly, ThreadObject, ProcessObject, MutexObject, EventObject, SemaphoreObject, TimerObject };

struct WaitedObject {
  Address handle;     // its value in the examined process (below 2^24, as every handle)
  ObjectKind kind;    // HandleOnly: the process refused the duplication, nothing more is known
  ImageText name;     // the name it was given, without the namespace's folders; empty when none is known
  DWORD id;           // a thread's or process's id
  DWORD process;      // a thread's process
  bool ended;         // a thread or process that has ended
  bool holderKnown;   // a mutex whose holder the platform gives
  DWORD holder;       // that holder, 0 when none holds it
  DWORD holderProcess;  // the holder's process, 0 when not given
  bool abandoned;     // a mutex whose holder ended while holding it
  bool uncertain;     // it may be a leftover of an earlier wait, not one waited on
};

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
