#ifndef THREADSIFT_STACK_COPY_H
#define THREADSIFT_STACK_COPY_H

#include <windows.h>

#include "threadsift/Bitness.h"

// A copy of the live part of one stopped thread's stack, taken so that the
// thread can run again before its frames are found: the unwinding, which may
// load symbol files, then reads stack bytes from the copy.

// The most a copy holds; a deeper stack is walked while its thread is held.
const Address kMaxStackCopy = 0x100000;

// The base of a thread's stack (the end of its highest page) as the
// thread's environment block records it, or 0 when it cannot be had. It
// does not change while the thread lives: it is read before the thread is
// held.
Address StackBaseOf(HANDLE process, HANDLE thread);

// Copies the stack from the page that holds stackPointer up to stackBase,
// when that lies above the pointer and within kMaxStackCopy of its page;
// otherwise (or when that read fails) up to the end of the committed region
// that holds the pointer. Returns false, with no copy kept, when the region
// cannot be queried or read, does not hold the pointer, or is larger than
// kMaxStackCopy from the pointer's page on.
bool CopyThreadStack(HANDLE process, Address stackPointer, Address stackBase);

// Forgets the copy; called before each thread.
void ForgetStackCopy();

// The copied bytes from address on, with how many of them follow (at most
// wanted); null when the copy does not hold address.
const BYTE* CopiedStackBytes(Address address, DWORD wanted, DWORD* available);

#endif
