#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "threadsift/report/TextForm.h"

namespace {

void PrintThreadName(DWORD tid) { printf("thread %d (0x%x)", (int)tid, (unsigned)tid); }

const char* WaitModeText(WaitMode mode) {
  switch (mode) {
    case WaitsForAll:
      return "all of: ";
    case WaitsForAny:
      return "any of: ";
    case WaitsForAllOrAny:
      return "all or any of: ";
    case WaitsForOne:
      break;
  }
  return "";
}

// An object by its name, or by its handle when it has none (or it is not
// known): event "Name", event (handle 0x1c).
void PrintObjectName(const WaitedObject& object) {
  printf("%s ", ObjectKindName(object.kind));
  if (!object.name.empty()) {
    printf("\"%s\"", AnsiFromWide(object.name.data(), object.name.size()).c_str());
  } else {
    printf("(handle 0x%x)", (unsigned)object.handle);
  }
}

// One object a thread waits for, as its wait line says it; one that may be
// a leftover of an earlier wait is said to be perhaps waited for.
void PrintWaitedObject(const WaitedObject& object, int pid) {
  if (object.uncertain) printf("perhaps ");
  switch (object.kind) {
    case HandleOnly:
      printf("handle 0x%x", (unsigned)object.handle);
      return;
    case ThreadObject:
      PrintThreadName(object.id);
      if (object.process != (DWORD)pid) printf(" of process %d (0x%x)", (int)object.process, (unsigned)object.process);
      printf(" to end");
      return;
    case ProcessObject:
      printf("process %d (0x%x) to end", (int)object.id, (unsigned)object.id);
      return;
    case MutexObject:
      PrintObjectName(object);
      if (object.abandoned) {
        printf(", which was abandoned");
      } else if (object.holderKnown) {
        printf(" held by ");
        PrintThreadName(object.holder);
        if (object.holderProcess != 0 && object.holderProcess != (DWORD)pid) {
          printf(" of process %d (0x%x)", (int)object.holderProcess, (unsigned)object.holderProcess);
        }
      } else {
        printf(", whose holder is unknown");
      }
      return;
    default:
      PrintObjectName(object);
      return;
  }
}

// The holder of a section or a C++ mutex, as its line ends.
void PrintHolder(const ReportedWait& wait) {
  if (!wait.holderKnown) {
    printf(" whose holder is unknown\n");
    return;
  }
  printf(" held by ");
  PrintThreadName(wait.holder);
  if (wait.holderEnded) printf(", which has ended");
  printf("\n");
}

void PrintSectionWait(const ReportRecord& record, const ReportedWait& wait) {
  printf("Thread %d (0x%x) waits for critical section 0x%s", (int)wait.waiter, (unsigned)wait.waiter,
         AddressTextOf(record, wait.section).c_str());
  if (wait.loaderLock) printf(" (the loader lock)");
  PrintHolder(wait);
}

void PrintHandleWait(const ReportedWait& wait) {
  printf("Thread %d (0x%x) waits for ", (int)wait.waiter, (unsigned)wait.waiter);
  printf("%s", WaitModeText(wait.handles.mode));
  const std::vector<WaitedObject>& objects = wait.handles.objects;
  for (size_t i = 0; i < objects.size(); ++i) {
    if (i > 0) printf("; ");
    PrintWaitedObject(objects[i], wait.pid);
  }
  printf("\n");
}

// A slim lock records no holder: the line says how it is held, and that.
void PrintSlimLockWait(const ReportRecord& record, const ReportedWait& wait) {
  printf("Thread %d (0x%x) waits for slim lock 0x%s (%s)", (int)wait.waiter, (unsigned)wait.waiter,
         AddressTextOf(record, wait.object).c_str(), wait.shared ? "shared" : "exclusive");
  switch (wait.lockState) {
    case SlimLockHeldExclusively:
      printf(", held exclusively; its holder is not recorded\n");
      return;
    case SlimLockHeldShared:
      if (wait.sharedCount == 0) {
        printf(", held shared\n");
      } else {
        printf(", held shared by %u thread%s\n", wait.sharedCount, wait.sharedCount == 1 ? "" : "s");
      }
      return;
    case SlimLockHeld:
      printf(", held; its holder is not recorded\n");
      return;
    case SlimLockFree:
      printf(", which is free now\n");
      return;
    case SlimLockUnreadable:
      break;
  }
  printf(", whose state cannot be read\n");
}

// The thread that answers for the window, then the window, by its class
// where that could be read.
void PrintSendWait(const ReportedWait& wait) {
  const SentMessage& sent = wait.sent;
  printf("Thread %d (0x%x) waits for ", (int)wait.waiter, (unsigned)wait.waiter);
  PrintThreadName(sent.receiver);
  if (sent.receiverProcess != (DWORD)wait.pid) {
    printf(" of process %d (0x%x)", (int)sent.receiverProcess, (unsigned)sent.receiverProcess);
  }
  printf(" to answer a message to window 0x%x", (unsigned)sent.window);
  if (!sent.windowClass.empty()) {
    printf(" (\"%s\")", AnsiFromWide(sent.windowClass.data(), sent.windowClass.size()).c_str());
  }
  printf("\n");
}

}  // namespace

void PrintWaitLine(const ReportRecord& record, const ReportedWait& wait) {
  switch (wait.kind) {
    case SectionWaitKind:
      PrintSectionWait(record, wait);
      return;
    case HandleWaitKind:
      PrintHandleWait(wait);
      return;
    case CxxMutexWaitKind:
      printf("Thread %d (0x%x) waits for C++ mutex 0x%s", (int)wait.waiter, (unsigned)wait.waiter,
             AddressTextOf(record, wait.object).c_str());
      PrintHolder(wait);
      return;
    case SlimLockWaitKind:
      PrintSlimLockWait(record, wait);
      return;
    case ConditionWaitKind:
      printf("Thread %d (0x%x) waits on condition variable 0x%s\n", (int)wait.waiter, (unsigned)wait.waiter,
             AddressTextOf(record, wait.object).c_str());
      return;
    case AddressWaitKind:
      printf("Thread %d (0x%x) waits for the value at 0x%s to change\n", (int)wait.waiter, (unsigned)wait.waiter,
             AddressTextOf(record, wait.object).c_str());
      return;
    case SendWaitKind:
      PrintSendWait(wait);
      return;
    case NoWait:
      break;
  }
}

void PrintCycles(const std::vector<std::vector<DWORD>>& cycles) {
  if (cycles.empty()) return;
  for (const std::vector<DWORD>& cycle : cycles) {
    printf("Deadlock: ");
    for (DWORD t : cycle) {
      PrintThreadName(t);
      printf(" -> ");
    }
    PrintThreadName(cycle[0]);
    printf("\n");
  }
  printf("\n");
}
