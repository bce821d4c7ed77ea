#ifndef THREADSIFT_FAULT_GUARD_H
#define THREADSIFT_FAULT_GUARD_H

// Calls body(context) so that any exception of the language, or any fault
// the platform raises (an access violation inside the image help library,
// say), ends the call instead of the program. True when body returned;
// false when a fault or exception ended it.
bool CallGuardedRoutine(void (*body)(void*), void* context);

// The same for any callable, whose results travel in what it captures.
template <typename Body>
bool CallGuarded(Body& body) {
  return CallGuardedRoutine([](void* callable) { (*static_cast<Body*>(callable))(); }, &body);
}

#endif
