#include <algorithm>
#include <string>

#include "threadsift/waits/WaitRoutines.h"

namespace {

const WaitRoutine kWaitRoutines[] = {
    // A critical section. Every version: the native entry routine, and the
    // kernel's name for it; NT 4.0 and 2000 (and Wine): the wait routine,
    // then the wait on the section's event, through the system-call stub on
    // XP and 2003; Vista and later: the contended path.
    {"RtlEnterCriticalSection", SectionWaitRoutine, CalledRoutine, AsksForOne, WaitFrameWords, WaitFrameWords},
    {"EnterCriticalSection", SectionWaitRoutine, CalledRoutine, AsksForOne, WaitFrameWords, WaitFrameWords},
    {"RtlpWaitForCriticalSection", SectionWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"NtWaitForSingleObject", SectionWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"ZwWaitForSingleObject", SectionWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlpEnterCriticalSectionContended", SectionWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlpWaitOnCriticalSection", SectionWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    // Handles: one, or several.
    {"WaitForSingleObject", HandleWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, Nowhere},
    {"WaitForSingleObjectEx", HandleWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, Nowhere},
    {"NtWaitForSingleObject", HandleWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, Nowhere},
    {"ZwWaitForSingleObject", HandleWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, Nowhere},
    {"SignalObjectAndWait", HandleWaitRoutine, CalledRoutine, AsksForOne, SecondArgument, FrameWord},
    {"NtSignalAndWaitForSingleObject", HandleWaitRoutine, CalledRoutine, AsksForOne, SecondArgument, Nowhere},
    {"ZwSignalAndWaitForSingleObject", HandleWaitRoutine, CalledRoutine, AsksForOne, SecondArgument, Nowhere},
    {"WaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, AsksForSeveral, ArgumentArray, Nowhere},
    {"WaitForMultipleObjectsEx", HandleWaitRoutine, CalledRoutine, AsksForSeveral, ArgumentArray, FrameArray},
    {"NtWaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, AsksForSeveral, NativeArgumentArray, Nowhere},
    {"ZwWaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, AsksForSeveral, NativeArgumentArray, Nowhere},
    {"MsgWaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, AsksForSeveral, ArgumentArray, Nowhere},
    {"MsgWaitForMultipleObjectsEx", HandleWaitRoutine, CalledRoutine, AsksForSeveral, FlagsArgumentArray, Nowhere},
    // Steps: the system-call stubs; Vista and later wait on a keyed event
    // or, since Windows 8, on an address; Wine waits on an address.
    {"KiFastSystemCallRet", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"KiFastSystemCall", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"NtUserMsgWaitForMultipleObjectsEx", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"NtWaitForKeyedEvent", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"ZwWaitForKeyedEvent", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlpWaitOnAddress", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlpWaitOnAddressWithTimeout", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"NtWaitForAlertByThreadId", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"ZwWaitForAlertByThreadId", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlWaitOnAddress", StepOfAnyWait, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    // The C++ run-time's mutexes (_Mtx_lock, _Mtx_timedlock: a plain name
    // has no leading underscores), which wait for the slim lock inside them.
    {"Mtx_lock", CxxMutexWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"Mtx_timedlock", CxxMutexWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"mtx_do_lock", CxxMutexWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlAcquireSRWLockExclusive", CxxMutexWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"AcquireSRWLockExclusive", CxxMutexWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlpAcquireSRWLockExclusiveContended", CxxMutexWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    // Slim locks: the native acquisitions, the kernel's names for them, and
    // the contended paths of current systems.
    {"RtlAcquireSRWLockExclusive", SlimLockWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"AcquireSRWLockExclusive", SlimLockWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlAcquireSRWLockShared", SlimLockWaitRoutine, CalledRoutine, AsksShared, Nowhere, Nowhere},
    {"AcquireSRWLockShared", SlimLockWaitRoutine, CalledRoutine, AsksShared, Nowhere, Nowhere},
    {"RtlpAcquireSRWLockExclusiveContended", SlimLockWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlpAcquireSRWLockSharedContended", SlimLockWaitRoutine, InnerRoutine, AsksShared, Nowhere, Nowhere},
    // Condition variables, with a slim lock or a critical section.
    {"SleepConditionVariableSRW", ConditionWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"SleepConditionVariableCS", ConditionWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlSleepConditionVariableSRW", ConditionWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlSleepConditionVariableCS", ConditionWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    // A wait for the value at an address to change.
    {"WaitOnAddress", AddressWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    {"RtlWaitOnAddress", AddressWaitRoutine, CalledRoutine, AsksForOne, Nowhere, Nowhere},
    // A message sent to another thread's window: the user library's calls,
    // the workers beneath them on Windows, and the system call. 64-bit Wine
    // keeps the window of the narrow calls in a register the system call
    // keeps, and that of the wide ones nowhere the thread's registers or
    // stack hold it.
    {"SendMessageA", SendWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, KeptInRdi},
    {"SendMessageW", SendWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, Nowhere},
    {"SendMessageTimeoutA", SendWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, KeptInRsi},
    {"SendMessageTimeoutW", SendWaitRoutine, CalledRoutine, AsksForOne, FirstArgument, Nowhere},
    {"SendMessageWorker", SendWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"SendMessageTimeoutWorker", SendWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
    {"NtUserMessageCall", SendWaitRoutine, InnerRoutine, AsksForOne, Nowhere, Nowhere},
};

// The routines the platform's thread pool waits for work in, in each
// version: a wait they call is an idle worker's.
const char* const kPoolWorkerRoutines[] = {"threadpool_worker_proc", "TppWorkerThread"};

// Deeper than this many frames a routine is not part of a wait.
const size_t kMaxWaitFrames = 12;

// The row of name for a wait of kind, or a step's; null when there is none.
const WaitRoutine* RowOf(const std::string& name, WaitRoutineKind kind) {
  const WaitRoutine* step = NULL;
  for (const WaitRoutine& routine : kWaitRoutines) {
    if (name != routine.name) continue;
    if (routine.kind == kind) return &routine;
    if (routine.kind == StepOfAnyWait) step = &routine;
  }
  return step;
}

// True when name is a routine of a kind named before kind.
bool IsRoutineOfAnEarlierKind(const std::string& name, WaitRoutineKind kind) {
  for (const WaitRoutine& routine : kWaitRoutines) {
    if (name == routine.name && routine.kind < kind) return true;
  }
  return false;
}

// The plain names of the innermost frames, each looked up once whichever
// kinds are tried, and only as far as a search reads; empty for a frame
// without a symbol.
class FrameNames {
 public:
  FrameNames(const ExaminedProcess& process, const std::vector<FoundFrame>& found)
      : process_(process), found_(found) {}

  size_t Count() const { return std::min(found_.size(), kMaxWaitFrames); }

  const std::string& At(size_t at) {
    while (names_.size() <= at) {
      std::string plain;
      bool named = PlainRoutineOfFrame(process_, found_[names_.size()].pc, &plain);
      names_.push_back(named ? plain : std::string());
    }
    return names_[at];
  }

 private:
  const ExaminedProcess& process_;
  const std::vector<FoundFrame>& found_;
  std::vector<std::string> names_;
};

// The wait of kind in the frames, as FindWaitFrames finds it.
bool FindWaitOfKind(FrameNames& names, size_t frameCount, WaitRoutineKind kind, WaitFrames* wait) {
  bool called = false;
  size_t count = 0;
  wait->kind = kind;
  wait->routines.clear();
  for (size_t at = 0; at < names.Count(); ++at) {
    const std::string& name = names.At(at);
    const WaitRoutine* routine = name.empty() ? NULL : RowOf(name, kind);
    if (!name.empty() && routine == NULL) {
      if (IsRoutineOfAnEarlierKind(name, kind)) return false;
      break;
    }
    if (routine != NULL && routine->role == CalledRoutine && routine->kind == kind) {
      called = true;
      wait->called = at;
    }
    if (routine != NULL) count = at + 1;
    wait->routines.push_back(routine);
  }
  wait->routines.resize(count);
  return called && count < frameCount;
}

// True when the frame beyond the wait's is a routine of the thread pool's
// own.
bool IsPoolWorkersWait(FrameNames& names, const WaitFrames& wait) {
  size_t caller = wait.routines.size();
  if (caller >= names.Count()) return false;
  const std::string& name = names.At(caller);
  for (const char* routine : kPoolWorkerRoutines) {
    if (name == routine) return true;
  }
  return false;
}

}  // namespace

bool IsWaitRoutine(const std::string& name) {
  for (const WaitRoutine& routine : kWaitRoutines) {
    if (name == routine.name) return true;
  }
  return false;
}

bool FindWaitFrames(const ExaminedProcess& process, const std::vector<FoundFrame>& found, WaitFrames* wait) {
  FrameNames names(process, found);
  for (WaitRoutineKind kind : {SectionWaitRoutine, HandleWaitRoutine, CxxMutexWaitRoutine, SlimLockWaitRoutine,
                               ConditionWaitRoutine, AddressWaitRoutine, SendWaitRoutine}) {
    if (FindWaitOfKind(names, found.size(), kind, wait)) return !IsPoolWorkersWait(names, *wait);
  }
  return false;
}

bool WaitFrameBytes(const std::vector<FoundFrame>& found, const WaitFrames& wait, Address* from, Address* to) {
  if (wait.called + 1 >= found.size()) return false;
  *from = found[0].stack;
  *to = found[wait.called + 1].stack;
  return *to > *from && *to - *from <= kMaxWaitFrameBytes;
}

namespace {

bool FindMissedFrame(const ExaminedProcess& process, const StackCopy& stack, const std::vector<FoundFrame>& found,
                     KnownRoutine known, FoundFrame* missed) {
  std::string name;
  Address resume = 0;
  if (found.size() < 2 || PlainRoutineOfFrame(process, found[0].pc, &name) ||
      !CopiedWord(stack, found[0].stack, process.width, &resume) || resume == found[1].pc ||
      !PlainRoutineOfFrame(process, resume, &name) || !known(name)) {
    return false;
  }
  *missed = FoundFrame();
  missed->pc = resume;
  missed->stack = found[0].stack + WordSizeOf(process.width);
  missed->putBack = true;
  return true;
}

}  // namespace

const std::vector<FoundFrame>& FramesToSearch(const ExaminedProcess& process, const StackCopy& stack,
                                              const std::vector<FoundFrame>& found, KnownRoutine known,
                                              std::vector<FoundFrame>* putBack) {
  FoundFrame missed;
  if (!FindMissedFrame(process, stack, found, known, &missed)) return found;
  *putBack = found;
  putBack->insert(putBack->begin() + 1, missed);
  return *putBack;
}

bool RoutineArguments(ProcessWidth width, const StackCopy& stack, const std::vector<FoundFrame>& found, size_t at,
                      size_t count, Address* args) {
  Address caller = found[at + 1].stack;
  Address wordSize = WordSizeOf(width);
  Address resume = 0;
  if (caller < wordSize || !CopiedWord(stack, caller - wordSize, width, &resume) || resume != found[at + 1].pc) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    if (!CopiedWord(stack, caller + i * wordSize, width, &args[i])) return false;
  }
  return true;
}

ObjectPlace PlaceOf(const ExaminedProcess& process, const WaitRoutine& routine) {
  return process.width == Width64 ? routine.place64 : routine.place32;
}
