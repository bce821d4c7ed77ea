#ifndef THREADSIFT_FAULT_GUARD_H
#define THREADSIFT_FAULT_GUARD_H

// Calls body(context) so that any exception of the language, or any fault
// the platform raises (an access violation inside the image help library,
// say), ends the call instead of the program. Returns 1 when body returned,
// with its result in *result; 0 when a fault or exception ended it.
int CallGuarded(int (*body)(void*), void* context, int* result);

#endif
