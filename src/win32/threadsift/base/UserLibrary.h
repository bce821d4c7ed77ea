#ifndef THREADSIFT_USER_LIBRARY_H
#define THREADSIFT_USER_LIBRARY_H

#include <windows.h>

// The user library, for the calls that tell of windows. It is not
// imported, so that a run that looks at no window never loads it; once
// loaded it stays (a library that has answered for windows is not
// unloaded safely). Null when it cannot be loaded.
HMODULE UserLibrary();

#endif
