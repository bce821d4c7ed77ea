#ifndef THREADSIFT_COMMON_NATIVE_STATUS_H
#define THREADSIFT_COMMON_NATIVE_STATUS_H

#include <windows.h>

// Sets the last-error code to the platform's translation of a status that a
// native call returned (the native layer sets none), so that the error line
// which follows carries the code of that failure.
void SetLastErrorFromStatus(LONG status);

#endif
