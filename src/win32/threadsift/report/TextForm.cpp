#include <windows.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "common/EnablePrivilege.h"
#include "threadsift/report/TextForm.h"

std::string AddressTextOf(const ReportRecord& record, Address value) {
  return AddressDigits(value, record.process.width);
}

void TextForm::Said(const ReportRecord& record, ReportPart part) {
  const ReportedProcess& process = record.process;
  switch (part) {
    case BannerPart:
      out_.Print("%s\n\n", record.banner.c_str());
      return;
    case RunHeaderPart: {
      const char* when = ctime(&record.time);
      out_.Print("Checking computer %s on %s\n", record.computer.c_str(), when != NULL ? when : "(unknown time)\n");
      return;
    }
    case ProcessHeaderPart:
      out_.Print("Process %d (0x%0x) ", process.pid, (unsigned)process.pid);
      printf(" %S", process.image.c_str());
      out_.Print(" %d thread(s)\n", (int)process.threadCount);
      return;
    case EmptyLinePart:
    case ThreadsPart:
      out_.Print("\n");
      return;
    case AssumedWidthPart:
      out_.Print("Process %d (0x%x) is walked as a %d-bit process: its main image's header cannot be read\n",
                 process.pid, (unsigned)process.pid, process.shownWidthBits);
      return;
    case ModuleListingPart:
      out_.Print("%s", ModuleListingHeader(process.width));
      out_.Print("%s", ModuleListingRule(process.width));
      return;
    case ModulePart:
      PrintModule(record);
      return;
    case ThreadPart:
      PrintThread(process.threads.back());
      return;
    case ThreadEndPart:
      lineOpen_ = false;
      out_.Print("\n");
      return;
    case FrameStartPart:
      PrintFrameStart(record);
      return;
    case FrameWithoutSymbolPart:
      lineOpen_ = false;
      out_.Print("%s()\n", AddressTextOf(record, process.threads.back().frames.back().pc).c_str());
      return;
    case FrameSymbolPart:
      PrintFrameSymbol(record);
      return;
    case FrameSourcePart: {
      const ReportedFrame& frame = process.threads.back().frames.back();
      out_.Print(" %s(%u)", frame.file.c_str(), frame.line);
      return;
    }
    case FrameEndPart:
      lineOpen_ = false;
      out_.Print("\n");
      return;
    case FrameCutShortPart:
      if (!lineOpen_) return;
      lineOpen_ = false;
      out_.Print("\n");
      return;
    case WaitPart:
      PrintWaitLine(out_, record, process.threads.back().wait);
      return;
    case CyclesPart:
      PrintCycles(out_, process.cycles);
      return;
    case ProcessSeparatorPart:
      out_.Print("******************************************************************************\n");
      return;
    case ProcessCountPart:
      out_.Print("%d process(es) found\n", record.processCount);
      return;
    case InterruptPart:
      out_.Print("\n* Interrupt *\n");
      return;
    case WatchBeginPart:
    case NoWindowPart:
    case TriggerPart:
    case WatchEndPart:
      PrintWatch(record.watch, part);
      return;
  }
}

void TextForm::PrintWatch(const ReportedWatch& watch, ReportPart part) {
  int pid = watch.pid;
  switch (part) {
    case WatchBeginPart:
      if (pid == -1) {
        out_.Print("Waiting for every process: %s\n", watch.conditions.c_str());
        return;
      }
      out_.Print("Waiting for process %d (0x%x) %s: %s\n", pid, (unsigned)pid,
                 LineTextFromWide(watch.image.data(), watch.image.size()).c_str(), watch.conditions.c_str());
      return;
    case NoWindowPart:
      out_.Print("Process %d (0x%x) has no window yet\n", pid, (unsigned)pid);
      return;
    case WatchEndPart:
      out_.Print("Process %d (0x%x) ended before any condition held\n", pid, (unsigned)pid);
      return;
    default:
      break;
  }
  const WatchTrigger& trigger = watch.trigger;
  out_.Print("Process %d (0x%x): ", watch.heldPid, (unsigned)watch.heldPid);
  switch (trigger.condition) {
    case HungCondition:
      if (trigger.tid == 0) {
        out_.Print("no window has answered for %u ms\n\n", trigger.ms);
      } else {
        out_.Print("the windows of thread %d (0x%x) have not answered for %u ms\n\n", (int)trigger.tid,
                   (unsigned)trigger.tid, trigger.ms);
      }
      return;
    case DeadlockCondition:
      out_.Print("a deadlock held for %u ms\n\n", trigger.ms);
      return;
    case CpuCondition:
      out_.Print("used %u%% of a processor for %u s\n\n", trigger.percent, trigger.seconds);
      return;
  }
}

void TextForm::PrintModule(const ReportRecord& record) {
  const ReportedModule& row = record.process.modules.back();
  Address end = row.base + row.size - 1;
  // A label shorter than a file version's (a maker's) is padded to that
  // width before it is set in its column.
  std::string shown = row.label;
  if (shown.size() < kFileVersionLabelWidth) shown.resize(kFileVersionLabelWidth, ' ');
  out_.Print("0x%s  0x%s  0x%08x %15s  %s\n", AddressTextOf(record, row.base).c_str(),
             AddressTextOf(record, end).c_str(), (unsigned)row.size, shown.c_str(), row.path.c_str());
}

void TextForm::PrintThread(const ReportedThread& thread) {
  DWORD tid = thread.tid;
  if (!thread.timed) {
    out_.Print("Thread %d (0x%0x)\n", (int)tid, (unsigned)tid);
    return;
  }
  const ThreadFigures& times = thread.figures;
  out_.Print("Thread %d (0x%0x)  cpu %u.%03u s  ", (int)tid, (unsigned)tid, (unsigned)(times.milliseconds / 1000),
             (unsigned)(times.milliseconds % 1000));
  if (times.ended) {
    out_.Print("ended\n");
  } else {
    out_.Print("busy %u%%\n", times.busy);
  }
}

void TextForm::PrintFrameStart(const ReportRecord& record) {
  const ReportedFrame& frame = record.process.threads.back().frames.back();
  lineOpen_ = true;
  out_.Print("%s = ", AddressTextOf(record, frame.pc).c_str());
  if (frame.inModule) out_.Print("%12s!", frame.module.c_str());
}

void TextForm::PrintFrameSymbol(const ReportRecord& record) {
  const ReportedFrame& frame = record.process.threads.back().frames.back();
  std::string text = frame.function;
  text += "(" + AddressTextOf(record, frame.params[0]) + "," + AddressTextOf(record, frame.params[1]) + "," +
          AddressTextOf(record, frame.params[2]) + "," + AddressTextOf(record, frame.params[3]) + ")";
  char scratch[32];
  if (frame.displacement != 0) {
    sprintf(scratch, "%+d", (int)frame.displacement);
    text += scratch;
  }
  out_.Print("%s", text.c_str());
}

void TextForm::FailureSaid(const ReportRecord&, const ReportedFailure& failure) {
  DWORD id = failure.id;
  switch (failure.form) {
    case StepFailed: {
      lineOpen_ = false;  // its line ends the frame's
      std::string line =
          FailureLineText(failure.step.c_str(), (int)failure.code, failure.named ? failure.name.c_str() : NULL);
      out_.Print("%s", line.c_str());
      return;
    }
    case ThreadWalkFailed:
      out_.Print("WalkThread %d error %d\n", (int)id, (int)failure.code);
      return;
    case ThreadListMissing:
      out_.Print("[%d] EnumProcessThreads pid %d error %d\n", (int)GetCurrentProcessId(), (int)id, (int)failure.code);
      return;
    case StatusFailed:
      out_.Print("%s error %08x, ret_len: %u\n", failure.step.c_str(), (unsigned)failure.code,
                 (unsigned)failure.returned);
      return;
    case SnapshotTooLarge:
      out_.Print("ERROR: 16 MB maximum buffer size exceeded\n");
      return;
    case AllocationFailed:
      out_.Print("FATAL: failed to allocate %d byte(s)\n", (int)failure.bytes);
      return;
    case VersionAllocationFailed:
      out_.Print("FATAL: allocate %u byte(s) failed\n", (unsigned)failure.bytes);
      return;
    case RegistersUnsteady:
      out_.Print("Thread %d (0x%x): its 32-bit registers did not hold still in %d reads; its frames are not shown\n",
                 (int)id, (unsigned)id, failure.reads);
      return;
    case LayerThread:
      out_.Print(
          "Thread %d (0x%x) is a thread of the platform's 64-bit layer: it has no 32-bit registers; its frames "
          "are not shown\n",
          (int)id, (unsigned)id);
      return;
    case ProcessTooWide:
      out_.Print("Process %d (0x%x) is a 64-bit process: the 64-bit threadsift walks it\n", (int)id, (unsigned)id);
      return;
    case OtherMachine:
      out_.Print("Process %d (0x%x) is built for machine 0x%04x, which threadsift does not walk\n", (int)id,
                 (unsigned)id, (unsigned)failure.machine);
      return;
  }
}
