#include <windows.h>

#include <cctype>
#include <string>

#include "threadsift/modules/ModuleTable.h"
#include "threadsift/waits/IdleWait.h"
#include "threadsift/waits/WaitRoutines.h"

namespace {

// A step lies beneath the routine that makes the wait; the routine ends the
// steps. A message wait for handles is idle only when it waits for none.
enum IdleRole { IdleStep, IdleRoutine, IdleRoutineWithoutHandles };

struct IdleRow {
  const char* name;
  IdleReason reason;  // NotIdle: a step of every idle wait
  IdleRole role;
};

const IdleRow kIdleRows[] = {
    // The system-call stubs of 32-bit Windows.
    {"KiFastSystemCallRet", NotIdle, IdleStep},
    {"KiFastSystemCall", NotIdle, IdleStep},
    // A pool worker: Windows waits on its worker factory, Wine's pool on a
    // condition variable, which waits on an address.
    {"NtWaitForWorkViaWorkerFactory", PoolWorkerIdle, IdleStep},
    {"ZwWaitForWorkViaWorkerFactory", PoolWorkerIdle, IdleStep},
    {"NtWaitForAlertByThreadId", PoolWorkerIdle, IdleStep},
    {"RtlWaitOnAddress", PoolWorkerIdle, IdleStep},
    {"RtlSleepConditionVariableCS", PoolWorkerIdle, IdleStep},
    {"TppWorkerThread", PoolWorkerIdle, IdleRoutine},
    {"threadpool_worker_proc", PoolWorkerIdle, IdleRoutine},
    // A message loop: the user library's calls and their system calls.
    {"NtUserGetMessage", MessageLoopIdle, IdleStep},
    {"ZwUserGetMessage", MessageLoopIdle, IdleStep},
    {"NtUserWaitMessage", MessageLoopIdle, IdleStep},
    {"ZwUserWaitMessage", MessageLoopIdle, IdleStep},
    {"NtUserMsgWaitForMultipleObjectsEx", MessageLoopIdle, IdleStep},
    {"ZwUserMsgWaitForMultipleObjectsEx", MessageLoopIdle, IdleStep},
    {"GetMessageA", MessageLoopIdle, IdleRoutine},
    {"GetMessageW", MessageLoopIdle, IdleRoutine},
    {"WaitMessage", MessageLoopIdle, IdleRoutine},
    {"MsgWaitForMultipleObjects", MessageLoopIdle, IdleRoutineWithoutHandles},
    {"MsgWaitForMultipleObjectsEx", MessageLoopIdle, IdleRoutineWithoutHandles},
    // A sleep.
    {"NtDelayExecution", SleepIdle, IdleStep},
    {"ZwDelayExecution", SleepIdle, IdleStep},
    {"SleepEx", SleepIdle, IdleRoutine},
    {"Sleep", SleepIdle, IdleRoutine},
    // A console read: the device control of current systems (Wine's
    // through its own helper), the server call of older ones.
    {"NtDeviceIoControlFile", ConsoleReadIdle, IdleStep},
    {"ZwDeviceIoControlFile", ConsoleReadIdle, IdleStep},
    {"console_ioctl", ConsoleReadIdle, IdleStep},
    {"ReadConsoleInternal", ConsoleReadIdle, IdleStep},
    {"NtRequestWaitReplyPort", ConsoleReadIdle, IdleStep},
    {"ZwRequestWaitReplyPort", ConsoleReadIdle, IdleStep},
    {"CsrClientCallServer", ConsoleReadIdle, IdleStep},
    {"ReadConsoleA", ConsoleReadIdle, IdleRoutine},
    {"ReadConsoleW", ConsoleReadIdle, IdleRoutine},
    {"ReadConsoleInputA", ConsoleReadIdle, IdleRoutine},
    {"ReadConsoleInputW", ConsoleReadIdle, IdleRoutine},
};

// The modules that hold the platform's system-call stubs.
const char* const kStubModules[] = {"ntdll.dll", "win32u.dll"};

// Module names compared without regard to case (Wine lists "USER32.dll").
bool SameModuleName(const char* name, const char* other) {
  for (; *name != 0 && *other != 0; ++name, ++other) {
    if (std::tolower((unsigned char)*name) != std::tolower((unsigned char)*other)) return false;
  }
  return *name == *other;
}

bool IsInStubModule(const ExaminedProcess& process, Address pc) {
  const char* module = FindModuleBaseName(process.modules, pc);
  for (const char* stubs : kStubModules) {
    if (module != NULL && SameModuleName(module, stubs)) return true;
  }
  return false;
}

// No idle wait has more steps than this beneath its routine.
const size_t kMaxIdleSteps = 6;

const IdleRow* IdleRowOf(const std::string& name) {
  for (const IdleRow& row : kIdleRows) {
    if (name == row.name) return &row;
  }
  return NULL;
}

bool IsIdleRoutine(const std::string& name) { return IdleRowOf(name) != NULL; }

// True when the message wait of frame at waits for no handle: its count,
// the first argument, is on the stack only in 32-bit processes.
bool WaitsForNoHandle(const ExaminedProcess& process, const StackCopy& stack, const std::vector<FoundFrame>& frames,
                      size_t at) {
  Address count = 1;
  return process.width == Width32 && RoutineArguments(process.width, stack, frames, at, 1, &count) && count == 0;
}

}  // namespace

IdleReason FindIdleReason(const ExaminedProcess& process, const StackCopy& stack,
                          const std::vector<FoundFrame>& found) {
  std::vector<FoundFrame> putBack;
  const std::vector<FoundFrame>& frames = FramesToSearch(process, stack, found, IsIdleRoutine, &putBack);
  // The reason every step so far allows (NotIdle: any).
  IdleReason reason = NotIdle;
  for (size_t at = 0; at < frames.size() && at <= kMaxIdleSteps; ++at) {
    std::string name;
    // The innermost frame may be a system-call stub without a symbol (not,
    // say, code of the program's that an alertable sleep runs).
    if (!PlainRoutineOfFrame(process, frames[at].pc, &name)) {
      if (at == 0 && IsInStubModule(process, frames[at].pc)) continue;
      return NotIdle;
    }
    const IdleRow* row = IdleRowOf(name);
    if (row == NULL || (reason != NotIdle && row->reason != NotIdle && row->reason != reason)) return NotIdle;
    if (row->reason != NotIdle) reason = row->reason;
    if (row->role == IdleRoutine) return reason;
    if (row->role == IdleRoutineWithoutHandles) {
      return at + 1 < frames.size() && WaitsForNoHandle(process, stack, frames, at) ? reason : NotIdle;
    }
  }
  return NotIdle;
}
