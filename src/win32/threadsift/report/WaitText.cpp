#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "threadsift/report/TextForm.h"

namespace {

void PrintThreadName(ReportText& out, DWORD tid) { out.Print("thread %d (0x%x)", (int)tid, (unsigned)tid); }

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
void PrintObjectName(ReportText& out, const WaitedObject& object) {
  out.Print("%s ", ObjectKindName(object.kind));
  if (!object.name.empty()) {
    out.Print("\"%s\"", LineTextFromWide(object.name.data(), object.name.size()).c_str());
  } else {
    out.Print("(handle 0x%x)", (unsigned)object.handle);
  }
}

// One object a thread waits for, as its wait line says it; one that may be
// a leftover of an earlier wait is said to be perhaps waited for.
void PrintWaitedObject(ReportText& out, const WaitedObject& object, int pid) {
  if (object.uncertain) out.Print("perhaps ");
  switch (object.kind) {
    case HandleOnly:
      out.Print("handle 0x%x", (unsigned)object.handle);
      return;
    case ThreadObject:
      PrintThreadName(out, object.id);
      if (object.process != (DWORD)pid)
        out.Print(" of process %d (0x%x)", (int)object.process, (unsigned)object.process);
      out.Print(" to end");
      return;
    case ProcessObject:
      out.Print("process %d (0x%x) to end", (int)object.id, (unsigned)object.id);
      return;
    case MutexObject:
      PrintObjectName(out, object);
      if (object.abandoned) {
        out.Print(", which was abandoned");
      } else if (object.holderKnown) {
        out.Print(" held by ");
        PrintThreadName(out, object.holder);
        if (object.holderProcess != 0 && object.holderProcess != (DWORD)pid) {
          out.Print(" of process %d (0x%x)", (int)object.holderProcess, (unsigned)object.holderProcess);
        }
      } else {
        out.Print(", whose holder is unknown");
      }
      return;
    default:
      PrintObjectName(out, object);
      return;
  }
}

// The holder of a section or a C++ mutex, as its line ends.
void PrintHolder(ReportText& out, const ReportedWait& wait) {
  if (!wait.holderKnown) {
    out.Print(" whose holder is unknown\n");
    return;
  }
  out.Print(" held by ");
  PrintThreadName(out, wait.holder);
  if (wait.holderEnded) out.Print(", which has ended");
  out.Print("\n");
}

void PrintSectionWait(ReportText& out, const ReportRecord& record, const ReportedWait& wait) {
  out.Print("Thread %d (0x%x) waits for critical section 0x%s", (int)wait.waiter, (unsigned)wait.waiter,
            AddressTextOf(record, wait.section).c_str());
  if (wait.loaderLock) out.Print(" (the loader lock)");
  PrintHolder(out, wait);
}

void PrintHandleWait(ReportText& out, const ReportedWait& wait) {
  out.Print("Thread %d (0x%x) waits for ", (int)wait.waiter, (unsigned)wait.waiter);
  out.Print("%s", WaitModeText(wait.handles.mode));
  const std::vector<WaitedObject>& objects = wait.handles.objects;
  for (size_t i = 0; i < objects.size(); ++i) {
    if (i > 0) out.Print("; ");
    PrintWaitedObject(out, objects[i], wait.pid);
  }
  out.Print("\n");
}

// A slim lock records no holder: the line says how it is held, and that.
void PrintSlimLockWait(ReportText& out, const ReportRecord& record, const ReportedWait& wait) {
  out.Print("Thread %d (0x%x) waits for slim lock 0x%s (%s)", (int)wait.waiter, (unsigned)wait.waiter,
            AddressTextOf(record, wait.object).c_str(), wait.shared ? "shared" : "exclusive");
  switch (wait.lockState) {
    case SlimLockHeldExclusively:
      out.Print(", held exclusively; its holder is not recorded\n");
      return;
    case SlimLockHeldShared:
      if (wait.sharedCount == 0) {
        out.Print(", held shared\n");
      } else {
        out.Print(", held shared by %u thread%s\n", wait.sharedCount, wait.sharedCount == 1 ? "" : "s");
      }
      return;
    case SlimLockHeld:
      out.Print(", held; its holder is not recorded\n");
      return;
    case SlimLockFree:
      out.Print(", which is free now\n");
      return;
    case SlimLockUnreadable:
      break;
  }
  out.Print(", whose state cannot be read\n");
}

// The thread that answers for the window, then the window, by its class
// where that could be read.
void PrintSendWait(ReportText& out, const ReportedWait& wait) {
  const SentMessage& sent = wait.sent;
  out.Print("Thread %d (0x%x) waits for ", (int)wait.waiter, (unsigned)wait.waiter);
  PrintThreadName(out, sent.receiver);
  if (sent.receiverProcess != (DWORD)wait.pid) {
    out.Print(" of process %d (0x%x)", (int)sent.receiverProcess, (unsigned)sent.receiverProcess);
  }
  out.Print(" to answer a message to window 0x%x", (unsigned)sent.window);
  if (!sent.windowClass.empty()) {
    out.Print(" (\"%s\")", LineTextFromWide(sent.windowClass.data(), sent.windowClass.size()).c_str());
  }
  out.Print("\n");
}

}  // namespace

void PrintWaitLine(ReportText& out, const ReportRecord& record, const ReportedWait& wait) {
  switch (wait.kind) {
    case SectionWaitKind:
      PrintSectionWait(out, record, wait);
      return;
    case HandleWaitKind:
      PrintHandleWait(out, wait);
      return;
    case CxxMutexWaitKind:
      out.Print("Thread %d (0x%x) waits for C++ mutex 0x%s", (int)wait.waiter, (unsigned)wait.waiter,
                AddressTextOf(record, wait.object).c_str());
      PrintHolder(out, wait);
      return;
    case SlimLockWaitKind:
      PrintSlimLockWait(out, record, wait);
      return;
    case ConditionWaitKind:
      out.Print("Thread %d (0x%x) waits on condition variable 0x%s\n", (int)wait.waiter, (unsigned)wait.waiter,
                AddressTextOf(record, wait.object).c_str());
      return;
    case AddressWaitKind:
      out.Print("Thread %d (0x%x) waits for the value at 0x%s to change\n", (int)wait.waiter, (unsigned)wait.waiter,
                AddressTextOf(record, wait.object).c_str());
      return;
    case SendWaitKind:
      PrintSendWait(out, wait);
      return;
    case NoWait:
      break;
  }
}

void PrintCycles(ReportText& out, const std::vector<std::vector<DWORD>>& cycles) {
  if (cycles.empty()) return;
  for (const std::vector<DWORD>& cycle : cycles) {
    out.Print("Deadlock: ");
    for (DWORD t : cycle) {
      PrintThreadName(out, t);
      out.Print(" -> ");
    }
    PrintThreadName(out, cycle[0]);
    out.Print("\n");
  }
  out.Print("\n");
}
