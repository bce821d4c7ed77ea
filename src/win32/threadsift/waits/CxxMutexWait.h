#ifndef THREADSIFT_CXX_MUTEX_WAIT_H
#define THREADSIFT_CXX_MUTEX_WAIT_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/WaitRoutines.h"

// The platform C++ run-time's mutex (the _Mtx_lock family): a type word
// at its start, a slim lock inside it, and the id of the thread that holds
// it (-1 when none), written once the slim lock is acquired and cleared
// before it is released, so it can lag behind the lock but never outlive it.

// The reader of a C++ mutex wait. Once the thread runs again, over its
// stack copy: the mutex thread tid waits for beneath the run-time's lock
// routines, whose wait frames are frames: the one around the slim lock its
// wait is tied to (as a slim lock's wait is), when its type word is one of
// the run-time's mutex types. Says nothing.
bool FindCxxMutexWait(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                      const std::vector<FoundFrame>& found, const WaitFrames& frames, Address* mutex);

// The holder the mutex records now, while waiter waits for it; false when
// its type word is no longer a mutex's, or it records none, or the waiter
// itself.
bool ReadCxxMutexHolder(const ExaminedProcess& process, Address mutex, DWORD waiter, DWORD* holder);

#endif
