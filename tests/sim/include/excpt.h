// Structured exception handling as the tools use it. On the simulated
// platform a fault raised inside the stack walk reaches the guard the way
// each width of Windows delivers it: on 64-bit through the scope that
// __try1 opens (here a C++ try block that takes the simulated fault, and
// that counts as open while it runs), on 32-bit through the thread's chain
// of exception registrations. A fault that finds no scope or registration
// open ends the process, as an unhandled access violation does.
#ifndef SIMWIN_EXCPT_H
#define SIMWIN_EXCPT_H
#include "simwin_api.h"

enum EXCEPTION_DISPOSITION {
  ExceptionContinueExecution,
  ExceptionContinueSearch,
  ExceptionNestedException,
  ExceptionCollidedUnwind
};

struct EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  PVOID ExceptionAddress;
  DWORD NumberParameters;
  ULONG_PTR ExceptionInformation[15];
};
typedef EXCEPTION_RECORD* PEXCEPTION_RECORD;

struct EXCEPTION_POINTERS {
  EXCEPTION_RECORD* ExceptionRecord;
  CONTEXT* ContextRecord;
};

const LONG EXCEPTION_EXECUTE_HANDLER = 1;
const DWORD EXCEPTION_UNWINDING = 0x2;
const DWORD EXCEPTION_EXIT_UNWIND = 0x4;
const DWORD EXCEPTION_ACCESS_VIOLATION = 0xC0000005;

// What the simulated platform throws (64-bit) for a fault.
struct SimFault {};

#if defined(_WIN64)
namespace sim {
// Marks a structured fault scope as open for as long as it lives.
struct FaultScope {
  FaultScope();
  ~FaultScope();
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;
};
}  // namespace sim

#define __try1(filter)             \
  {                                \
    sim::FaultScope simFaultScope; \
    try {
#define __except1           \
  }                         \
  catch (const SimFault&) { \
  }                         \
  }
#else
typedef EXCEPTION_DISPOSITION (*PEXCEPTION_ROUTINE)(EXCEPTION_RECORD*, PVOID, CONTEXT*, PVOID);

struct EXCEPTION_REGISTRATION_RECORD {
  EXCEPTION_REGISTRATION_RECORD* Next;
  PEXCEPTION_ROUTINE Handler;
};

struct NT_TIB {
  EXCEPTION_REGISTRATION_RECORD* ExceptionList;
  PVOID StackBase;
  PVOID StackLimit;
};

struct TEB {
  NT_TIB NtTib;
};

TEB* NtCurrentTeb();
void RtlUnwind(PVOID targetFrame, PVOID targetIp, PEXCEPTION_RECORD record, PVOID returnValue);
#endif

#endif
