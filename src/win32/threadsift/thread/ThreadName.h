#ifndef THREADSIFT_THREAD_NAME_H
#define THREADSIFT_THREAD_NAME_H

#include <windows.h>

#include "threadsift/base/Utf8Text.h"

// The most units of a thread's name that are kept; a longer name is cut.
const size_t kMaxThreadName = 256;

// The platform's query of a thread's name (GetThreadDescription).
typedef LONG(WINAPI* ThreadNameQuery)(HANDLE thread, PWSTR* name);

// The name query, found at run time so that systems without thread names
// simply have none; null there.
ThreadNameQuery FindThreadNameQuery();

// Reads the name a thread was given through query (null: none). False, with
// name untouched, when the thread has none or it cannot be read.
bool ReadThreadName(ThreadNameQuery query, HANDLE thread, ImageText* name);

#endif
