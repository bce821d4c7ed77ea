#include <windows.h>

#include <algorithm>
#include <string>

#include "common/TargetMemory.h"
#include "threadsift/waits/WaitedHandles.h"

namespace {

const size_t kArgumentWords = 5;
const size_t kMaxWaitObjects = 64;
const Address kFrameArrayOffset = 0x40;
const Address kFrameAllFlagOffset = 0x10;
const Address kFrameWordOffset = 0x28;

// Adds the object a handle value names; false when it names none a wait
// can be on. A process that refuses duplication leaves the value alone.
bool AddObject(const ExaminedProcess& process, DWORD tid, Address value, HandleWait* wait) {
  WaitedObject object;
  if (DescribeHandle(process, tid, value, &object) == NotWaitable) return false;
  wait->objects.push_back(object);
  return true;
}

// Every handle of an array of count in the process's memory; false unless
// each names a waitable object.
bool AddArray(const ExaminedProcess& process, const StackCopy& stack, DWORD tid, Address count, Address array,
              HandleWait* wait) {
  size_t wordSize = WordSizeOf(process.width);
  if (count == 0 || count > kMaxWaitObjects || !MayReadTarget(process.handle, stack, array, count * wordSize)) {
    return false;
  }
  std::vector<BYTE> handles((size_t)count * wordSize);
  if (!ReadTargetMemory(process.handle, array, handles.data(), handles.size())) return false;
  for (size_t at = 0; at < handles.size(); at += wordSize) {
    if (!AddObject(process, tid, WordAt(&handles[at], wordSize), wait)) return false;
  }
  return true;
}

// The words of the program's array at address, from the stack copy where it
// lies there, else from the process.
bool ReadProgramWords(const ExaminedProcess& process, const StackCopy& stack, Address address, size_t count,
                      std::vector<Address>* words) {
  size_t wordSize = WordSizeOf(process.width);
  words->assign(count, 0);
  bool copied = true;
  for (size_t i = 0; i < count && copied; ++i) {
    copied = CopiedWord(stack, address + i * wordSize, process.width, &(*words)[i]);
  }
  if (copied) return true;
  std::vector<BYTE> bytes(count * wordSize);
  if (!MayReadTarget(process.handle, stack, address, bytes.size()) ||
      !ReadTargetMemory(process.handle, address, bytes.data(), bytes.size())) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) (*words)[i] = WordAt(&bytes[i * wordSize], wordSize);
  return true;
}

// The count of handles a 64-bit wait for several copied into its frame
// array, where the registers it keeps give it: a count a wait takes, and
// the address of the program's own array, whose first that many words are
// the frame's. False when they do not: the count is not known.
bool CountFromRegisters(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context,
                        Address frameArray, size_t* count) {
  Address given = 0, programArray = 0;
  if (!WaitRegistersOf(context, &given, &programArray) || given == 0 || given > kMaxWaitObjects) return false;
  std::vector<Address> program;
  if (!ReadProgramWords(process, stack, programArray, (size_t)given, &program)) return false;
  for (size_t i = 0; i < program.size(); ++i) {
    Address copied = 0;
    if (!CopiedWord(stack, frameArray + i * WordSizeOf(process.width), process.width, &copied) ||
        copied != program[i]) {
      return false;
    }
  }
  *count = (size_t)given;
  return true;
}

// The array a 64-bit wait copied into its frame holds the handles and then
// whatever the frame held before, handles of an earlier, larger wait among
// it. With the count, exactly that many words are the handles. Without it,
// only the first is certain: the run of words after it that name waitable
// objects is kept, each marked uncertain. A process that refuses
// duplication leaves only the first, where one handle is waited on, and
// every counted one.
bool AddFrameArray(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                   Address array, bool one, HandleWait* wait) {
  size_t count = 0;
  if (!one && CountFromRegisters(process, stack, context, array, &count)) {
    for (size_t i = 0; i < count; ++i) {
      Address value = 0;
      if (!CopiedWord(stack, array + i * WordSizeOf(process.width), process.width, &value) ||
          !AddObject(process, tid, value, wait)) {
        return false;
      }
    }
    return true;
  }
  for (size_t i = 0; i < (one ? 1 : kMaxWaitObjects); ++i) {
    Address value = 0;
    WaitedObject object;
    if (!CopiedWord(stack, array + i * WordSizeOf(process.width), process.width, &value)) break;
    HandleVerdict verdict = DescribeHandle(process, tid, value, &object);
    if (verdict == NotWaitable || (verdict == NoDuplication && !one)) break;
    object.uncertain = i > 0;
    wait->objects.push_back(object);
  }
  return !wait->objects.empty();
}

WaitMode ModeOfFlag(Address flag, bool allWhenSet) {
  return ((flag & 0xFFFFFFFF) != 0) == allWhenSet ? WaitsForAll : WaitsForAny;
}

// Reads the handles from where the routine of frame at keeps them.
bool ReadPlace(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
               const std::vector<FoundFrame>& found, size_t at, ObjectPlace place, bool one, HandleWait* wait) {
  Address args[kArgumentWords] = {0, 0, 0, 0, 0};
  switch (place) {
    case FirstArgument:
    case SecondArgument:
      return RoutineArguments(process.width, stack, found, at, kArgumentWords, args) &&
             AddObject(process, tid, args[place == FirstArgument ? 0 : 1], wait);
    case ArgumentArray:
    case NativeArgumentArray:
    case FlagsArgumentArray:
      if (!RoutineArguments(process.width, stack, found, at, kArgumentWords, args)) return false;
      if (one) return AddArray(process, stack, tid, 1, args[1], wait);
      if (place == NativeArgumentArray && (args[2] & 0xFFFFFFFF) > 1) return false;
      wait->mode = place == FlagsArgumentArray ? ModeOfFlag(args[4] & 1, true)
                                               : ModeOfFlag(args[2], place == ArgumentArray);
      return AddArray(process, stack, tid, args[0] & 0xFFFFFFFF, args[1], wait);
    case FrameArray: {
      Address flag = 0;
      if (!one) wait->mode = CopiedWord(stack, found[at + 1].stack + kFrameAllFlagOffset, process.width, &flag)
                                 ? ModeOfFlag(flag, true)
                                 : WaitsForAllOrAny;
      return AddFrameArray(process, stack, context, tid, found[at].stack + kFrameArrayOffset, one, wait);
    }
    case FrameWord: {
      Address value = 0;
      return CopiedWord(stack, found[at].stack + kFrameWordOffset, process.width, &value) &&
             AddObject(process, tid, value, wait);
    }
    case Nowhere:
    case WaitFrameWords:
    case KeptInRdi:
    case KeptInRsi:
      break;
  }
  return false;
}

}  // namespace

bool FindHandleWait(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                    const std::vector<FoundFrame>& found, const WaitFrames& frames, HandleWait* wait) {
  // The outermost routine is the one the program called: it tells what was
  // asked; the handles are read where the outermost routine that keeps them
  // in this width does.
  bool one = frames.routines[frames.called]->asks != AsksForSeveral;
  for (size_t at = frames.routines.size(); at-- > 0;) {
    const WaitRoutine* routine = frames.routines[at];
    ObjectPlace place = routine == NULL ? Nowhere : PlaceOf(process, *routine);
    if (place == Nowhere) continue;
    wait->mode = WaitsForOne;
    wait->objects.clear();
    return ReadPlace(process, stack, context, tid, found, at, place, one, wait);
  }
  return false;
}
