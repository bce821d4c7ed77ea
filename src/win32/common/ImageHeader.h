#ifndef THREADSIFT_COMMON_IMAGE_HEADER_H
#define THREADSIFT_COMMON_IMAGE_HEADER_H

#include <windows.h>

#include "common/PlatformRecord.h"

// The file header of an image mapped in another process, read field by
// field within the image: where it starts is kept at 0x3C, and it begins
// with the signature "PE\0\0".

// Reads bytes of the file header, from offset on (0: the signature), of the
// image mapped at base; size is the image's size, or 0 when unknown (then
// the header must start in the image's first page). False, with the last
// error, when the header cannot be read or is no file header.
bool ReadFileHeaderField(HANDLE process, Address base, DWORD size, DWORD offset, void* field, DWORD bytes);

// The machine the image at base is built for (IMAGE_FILE_MACHINE_I386,
// IMAGE_FILE_MACHINE_AMD64, or another); false as above.
bool ReadImageMachine(HANDLE process, Address base, WORD* machine);

// Whether the platform runs process in its 32-bit layer of 64-bit Windows;
// false when it has no such layer or cannot say (the routine is found at
// run time: the first systems have none). Wine runs 32-bit programs in a
// 64-bit prefix without saying so: only a yes is worth anything.
bool PlatformSaysWow64(HANDLE process);

// True when process pid is a 32-bit process, as its main image's header
// says (the image its environment block names), or, where that header
// cannot be read, as the platform says; false when it is not or the
// process cannot be opened.
bool IsThirtyTwoBitProcess(DWORD pid);

#endif
