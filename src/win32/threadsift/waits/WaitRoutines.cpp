#include <algorithm>
#include <string>

#include "threadsift/waits/WaitRoutines.h"

namespace {

const WaitRoutine kWaitRoutines[] = {
    // A critical section. Every version: the native entry routine, and the
    // kernel's name for it; NT 4.0 and 2000 (and Wine): the wait routine,
    // then the wait on the section's event, through the system-call stub on
    // XP and 2003; Vista and later: the contended path.
    {"RtlEnterCriticalSection", SectionWaitRoutine, CalledRoutine, false, WaitFrameWords, WaitFrameWords},
    {"EnterCriticalSection", SectionWaitRoutine, CalledRoutine, false, WaitFrameWords, WaitFrameWords},
    {"RtlpWaitForCriticalSection", SectionWaitRoutine, InnerRoutine, false, Nowhere, Nowhere},
    {"NtWaitForSingleObject", SectionWaitRoutine, InnerRoutine, false, Nowhere, Nowhere},
    {"ZwWaitForSingleObject", SectionWaitRoutine, InnerRoutine, false, Nowhere, Nowhere},
    {"RtlpEnterCriticalSectionContended", SectionWaitRoutine, InnerRoutine, false, Nowhere, Nowhere},
    {"RtlpWaitOnCriticalSection", SectionWaitRoutine, InnerRoutine, false, Nowhere, Nowhere},
    // Handles: one, or several.
    {"WaitForSingleObject", HandleWaitRoutine, CalledRoutine, false, FirstArgument, Nowhere},
    {"WaitForSingleObjectEx", HandleWaitRoutine, CalledRoutine, false, FirstArgument, Nowhere},
    {"NtWaitForSingleObject", HandleWaitRoutine, CalledRoutine, false, FirstArgument, Nowhere},
    {"ZwWaitForSingleObject", HandleWaitRoutine, CalledRoutine, false, FirstArgument, Nowhere},
    {"SignalObjectAndWait", HandleWaitRoutine, CalledRoutine, false, SecondArgument, FrameWord},
    {"NtSignalAndWaitForSingleObject", HandleWaitRoutine, CalledRoutine, false, SecondArgument, Nowhere},
    {"ZwSignalAndWaitForSingleObject", HandleWaitRoutine, CalledRoutine, false, SecondArgument, Nowhere},
    {"WaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, true, ArgumentArray, Nowhere},
    {"WaitForMultipleObjectsEx", HandleWaitRoutine, CalledRoutine, true, ArgumentArray, FrameArray},
    {"NtWaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, true, NativeArgumentArray, Nowhere},
    {"ZwWaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, true, NativeArgumentArray, Nowhere},
    {"MsgWaitForMultipleObjects", HandleWaitRoutine, CalledRoutine, true, ArgumentArray, Nowhere},
    {"MsgWaitForMultipleObjectsEx", HandleWaitRoutine, CalledRoutine, true, FlagsArgumentArray, Nowhere},
    // Steps: the system-call stubs; Vista and later wait on a keyed event
    // or, since Windows 8, on an address; Wine waits on an address.
    {"KiFastSystemCallRet", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"KiFastSystemCall", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"NtUserMsgWaitForMultipleObjectsEx", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"NtWaitForKeyedEvent", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"ZwWaitForKeyedEvent", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"RtlpWaitOnAddress", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"RtlpWaitOnAddressWithTimeout", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"NtWaitForAlertByThreadId", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"ZwWaitForAlertByThreadId", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
    {"RtlWaitOnAddress", StepOfAnyWait, InnerRoutine, false, Nowhere, Nowhere},
};

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

}  // namespace

bool FindWaitFrames(const ExaminedProcess& process, const std::vector<FoundFrame>& found, WaitFrames* wait) {
  FrameNames names(process, found);
  for (WaitRoutineKind kind : {SectionWaitRoutine, HandleWaitRoutine}) {
    if (FindWaitOfKind(names, found.size(), kind, wait)) return true;
  }
  return false;
}

ObjectPlace PlaceOf(const ExaminedProcess& process, const WaitRoutine& routine) {
  return process.width == Width64 ? routine.place64 : routine.place32;
}
