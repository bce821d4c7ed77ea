// Built without optimisation: the platform's handler registration below
// depends on the function keeping the frame layout it is written with.
#include <windows.h>
#include <excpt.h>

#include "threadsift/base/FaultGuard.h"

namespace {

// Catches every exception of the language, whatever its type.
bool CallCatchingExceptions(void (*body)(void*), void* context) {
  try {
    body(context);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

#if defined(_WIN64)

// Faults are caught by a scope of the function's own unwind data, whose
// filter takes every exception: execution goes on after the scope.
extern "C" LONG ThreadsiftFaultFilter(EXCEPTION_POINTERS* /*pointers*/) { return EXCEPTION_EXECUTE_HANDLER; }

bool CallGuardedRoutine(void (*body)(void*), void* context) {
  volatile bool completed = false;
  // The two macros open and close a scope of their own.
  // clang-format off
  __try1(ThreadsiftFaultFilter)
  completed = CallCatchingExceptions(body, context);
  __except1
  return completed;
}
// clang-format on

#else

namespace {

// Where the fault handler resumes: the guarded call's frame, saved with
// __builtin_setjmp. The tool walks one thread at a time on one thread.
void* g_resumePoint[5];

}  // namespace

// Registered on the thread's chain of exception registrations: it first lets
// the handlers registered after it unwind, then resumes the guarded call.
extern "C" EXCEPTION_DISPOSITION __cdecl ThreadsiftFaultHandler(EXCEPTION_RECORD* record, void* frame,
                                                                CONTEXT* /*context*/, void* /*dispatcher*/) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  RtlUnwind(frame, NULL, record, NULL);
  __builtin_longjmp(g_resumePoint, 1);
}

bool CallGuardedRoutine(void (*body)(void*), void* context) {
  NT_TIB* tib = (NT_TIB*)NtCurrentTeb();
  EXCEPTION_REGISTRATION_RECORD registration;
  registration.Next = tib->ExceptionList;
  registration.Handler = (PEXCEPTION_ROUTINE)ThreadsiftFaultHandler;
  volatile bool completed = false;
  if (__builtin_setjmp(g_resumePoint) == 0) {
    tib->ExceptionList = &registration;
    completed = CallCatchingExceptions(body, context);
  }
  tib->ExceptionList = registration.Next;
  return completed;
}

#endif
