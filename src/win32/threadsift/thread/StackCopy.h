#ifndef THREADSIFT_STACK_COPY_H
#define THREADSIFT_STACK_COPY_H

#include <windows.h>

#include <string>

#include "threadsift/base/Bitness.h"

// A copy of the live part of one stopped thread's stack, taken so that the
// thread can run again before its frames are found: the unwinding, which may
// load symbol files, then reads stack bytes from the copy.
struct StackCopy {
  Address start = 0;  // 0: no copy
  std::string bytes;
  // The lowest address of the stack that may be read; 0 when unknown.
  Address floor = 0;
};

// The most a copy holds; a deeper stack is walked while its thread is held.
const Address kMaxStackCopy = 0x100000;

// The base of a thread's stack (the end of its highest page) as the
// thread's environment block records it, or 0 when it cannot be had. It
// does not change while the thread lives: it is read before the thread is
// held. A thread of a 32-bit process seen from the 64-bit build has its
// 32-bit stack named in the 32-bit block, which lies after the 64-bit one.
Address StackBaseOf(HANDLE process, HANDLE thread, ProcessWidth width);

// True when a thread of a 32-bit process, seen from the 64-bit build, has
// an environment block of the tool's width that names its stack but no
// 32-bit one that names a stack: a thread of the platform's 64-bit layer
// (or one started there), which has no 32-bit registers. False when that
// cannot be told.
bool NamesNoThirtyTwoBitStack(HANDLE process, HANDLE thread);

// The start of the reservation that holds the stack whose base is
// stackBase, or 0 when unknown: no stack pointer of the thread lies below.
Address StackStartOf(HANDLE process, Address stackBase);

// The lowest committed address of the stack whose base is stackBase: the
// start of the committed region that ends there. Below it lies the stack's
// guard page, which must never be read: a read from another process would
// spend it, and the thread could no longer grow its stack. 0 when unknown.
// Read before the thread is held.
Address StackLimitOf(HANDLE process, Address stackBase);

// Copies the stack from the page that holds stackPointer up to stackBase,
// when that lies above the pointer and within kMaxStackCopy of its page;
// otherwise (or when that read fails) up to the end of the committed region
// that holds the pointer. Nothing below stackLimit (0: unknown) is read:
// when the pointer lies below it, the region there says whether the stack
// has grown since (the copy begins at the pointer's page) or the pointer
// stands in the guard page or below it (the copy begins at the limit). A
// guard page found where the copy would begin is stepped over. Returns
// false, with no copy kept, when the region cannot be queried or read, does
// not hold the pointer, or is larger than kMaxStackCopy from the pointer's
// page on. The floor is set either way: the limit (kept however deep the
// stack), the end of a guard page stepped over, or else the start of the
// region that holds the pointer. The room of an earlier copy is reused.
bool CopyThreadStack(HANDLE process, Address stackPointer, Address stackBase, Address stackLimit, StackCopy* copy);

// True when a read of size bytes at address would touch the pages just
// below the lowest committed page of the copied stack, where its guard page
// lies: the walk reads nothing there.
bool ReadsBelowStackFloor(const StackCopy& copy, Address address, DWORD size);

// True when [address, address + size) of process lies in committed memory
// that may be read without harm: never a guard page (a read from another
// process spends it), nor below the copied stack's floor.
bool MayReadTarget(HANDLE process, const StackCopy& stack, Address address, size_t size);

// The word of wordSize bytes at address of process, where MayReadTarget
// allows it to be read.
bool ReadTargetWordSafely(HANDLE process, const StackCopy& stack, Address address, size_t wordSize, Address* word);

// Forgets the copy and its floor, keeping its room.
void ForgetStackCopy(StackCopy* copy);

// The copied bytes from address on, with how many of them follow (at most
// wanted); null when the copy does not hold address.
const BYTE* CopiedStackBytes(const StackCopy& copy, Address address, DWORD wanted, DWORD* available);

// The word of a process of width at address of the copy; false when the
// copy does not hold all of it.
bool CopiedWord(const StackCopy& copy, Address address, ProcessWidth width, Address* word);

#endif
