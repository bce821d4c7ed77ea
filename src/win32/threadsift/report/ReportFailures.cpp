#include <windows.h>

#include <vector>

#include "threadsift/report/ReportSink.h"

// The failures the report says: each is added to the frame's thread, the
// thread, the process or the run in hand, and handed to the form.

namespace {

// The code of a step that was tried again until its tries ran out (the
// platform's "retry" error).
const int kRetriesRanOut = 1237;
// The code of a process this build does not walk ("not supported").
const int kNotWalked = 50;

}  // namespace

void ReportSink::WiderProcess(int pid) {
  ReportedProcess& process = record_.process;
  if (process.shownWidthBits == 0) process.widthOrder = record_.said++;
  process.shownWidthBits = 64;
  ReportedFailure failure = StepFailure(ProcessTooWide, "WalkProcess", kNotWalked);
  failure.id = (DWORD)pid;
  AddFailure(failure);
}

void ReportSink::OtherMachine(int pid, WORD machine) {
  ReportedFailure failure = StepFailure(::OtherMachine, "WalkProcess", kNotWalked);
  failure.id = (DWORD)pid;
  failure.machine = machine;
  AddFailure(failure);
}

void ReportSink::UnsteadyContext(DWORD tid, int reads) {
  ReportedFailure failure = StepFailure(RegistersUnsteady, "Wow64GetThreadContext", kRetriesRanOut);
  failure.id = tid;
  failure.reads = reads;
  AddFailure(failure);
}

void ReportSink::NoThirtyTwoBitRegisters(DWORD tid) {
  ReportedFailure failure = StepFailure(LayerThread, "Wow64GetThreadContext", kNotWalked);
  failure.id = tid;
  AddFailure(failure);
}

void ReportSink::Failure(const char* step, int code, const char* name) {
  ReportedFailure failure = StepFailure(StepFailed, step, code);
  if (name != NULL) {
    failure.named = true;
    failure.name = name;
  }
  AddFailure(failure);
}

void ReportSink::WalkThreadFailure(DWORD tid, int code) {
  ReportedFailure failure = StepFailure(ThreadWalkFailed, "WalkThread", code);
  failure.id = tid;
  AddFailure(failure);
}

void ReportSink::MissingThreads(int pid, int code) {
  ReportedFailure failure = StepFailure(ThreadListMissing, "EnumProcessThreads", code);
  failure.id = (DWORD)pid;
  AddFailure(failure);
}

void ReportSink::StatusFailure(const char* step, ULONG status, ULONG returned) {
  ReportedFailure failure = StepFailure(StatusFailed, step, status);
  failure.returned = returned;
  AddFailure(failure);
}

void ReportSink::SnapshotLimit(ULONG status) {
  AddFailure(StepFailure(SnapshotTooLarge, "NtQuerySystemInformation", status));
}

void ReportSink::AllocationFailure(size_t bytes) {
  ReportedFailure failure = StepFailure(AllocationFailed, "allocate", ERROR_NOT_ENOUGH_MEMORY);
  failure.bytes = bytes;
  AddFailure(failure);
}

void ReportSink::VersionAllocationFailure(size_t bytes) {
  ReportedFailure failure = StepFailure(VersionAllocationFailed, "allocate", ERROR_NOT_ENOUGH_MEMORY);
  failure.bytes = bytes;
  AddFailure(failure);
}

ReportedFailure ReportSink::StepFailure(FailureForm form, const char* step, long long code) {
  ReportedFailure failure;
  failure.form = form;
  failure.step = step;
  failure.code = code;
  return failure;
}

bool ReportSink::FrameOpen() {
  ReportedProcess& process = record_.process;
  return process.threadInHand && !ThreadInHand().frames.empty() && FrameInHand().open;
}

void ReportSink::AddFailure(ReportedFailure failure) {
  failure.order = record_.said++;
  if (!record_.inProcess) {
    record_.failures.push_back(failure);
    form_->FailureSaid(record_, record_.failures.back());
    return;
  }
  ReportedProcess& process = record_.process;
  std::vector<ReportedFailure>& owner = process.threadInHand ? ThreadInHand().failures : process.failures;
  if (FrameOpen()) {
    failure.frame = (long long)ThreadInHand().frames.size() - 1;
    FrameInHand().open = false;
  }
  owner.push_back(failure);
  form_->FailureSaid(record_, owner.back());
}
