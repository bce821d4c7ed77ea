#include <windows.h>

#include <string>

#include "threadsift/report/GroupedTextForm.h"
#include "threadsift/report/ThreadGroups.h"

void GroupedTextForm::Said(const ReportRecord& record, ReportPart part) {
  ReportText& out = text_.Out();
  if (keepingThreads_) {
    switch (part) {
      case ThreadPart:
      case WaitPart:
      case ThreadEndPart:
        KeepThreadPart(record, part);
        return;
      case CyclesPart:
        PrintGroups(record);
        break;
      default:
        break;
    }
  }
  text_.Said(record, part);
  if (part == ThreadsPart && !keepingThreads_) {
    keepingThreads_ = true;
    threads_.clear();
    keptFrames_.clear();
    outside_.clear();
    out.Keep(&outside_);
  }
}

void GroupedTextForm::KeepThreadPart(const ReportRecord& record, ReportPart part) {
  ReportText& out = text_.Out();
  if (threads_.size() < record.process.threads.size()) threads_.resize(record.process.threads.size());
  KeptThread& kept = threads_[record.process.threads.size() - 1];
  switch (part) {
    case ThreadPart:
      // The group line stands for the thread's own.
      out.Keep(&dropped_);
      text_.Said(record, part);
      out.Keep(&kept.frames);
      break;
    case WaitPart:
      out.Keep(&kept.wait);
      text_.Said(record, part);
      out.Keep(&kept.after);
      break;
    default: {
      // The empty line that ends the thread ends its group.
      out.Keep(&dropped_);
      text_.Said(record, part);
      out.Keep(&outside_);
      KeepLowestFrames(record);
      break;
    }
  }
  dropped_.clear();
}

// Only the lowest id of a group has its frames printed: the others' are
// dropped as soon as their thread ends, so that what is kept grows with the
// stacks, not with the threads.
void GroupedTextForm::KeepLowestFrames(const ReportRecord& record) {
  size_t at = record.process.threads.size() - 1;
  const ReportedThread& thread = record.process.threads[at];
  if (!MayShareGroup(thread)) return;
  auto found = keptFrames_.emplace(GroupKey(thread), at);
  if (found.second) return;
  size_t& kept = found.first->second;
  if (record.process.threads[kept].tid < thread.tid) {
    std::string().swap(threads_[at].frames);
  } else {
    std::string().swap(threads_[kept].frames);
    kept = at;
  }
}

void GroupedTextForm::FailureSaid(const ReportRecord& record, const ReportedFailure& failure) {
  text_.FailureSaid(record, failure);
}

void GroupedTextForm::ProcessDone(const ReportRecord& record) {
  if (keepingThreads_) PrintGroups(record);
  text_.ProcessDone(record);
}

void GroupedTextForm::PrintGroupLine(const ReportRecord& record, const std::vector<size_t>& members, IdleReason idle) {
  ReportText& out = text_.Out();
  out.Print("%u thread%s: ", (unsigned)members.size(), members.size() == 1 ? "" : "s");
  for (size_t i = 0; i < members.size(); ++i) {
    const ReportedThread& thread = record.process.threads[members[i]];
    if (i > 0) out.Print(", ");
    out.Print("%d (0x%x)", (int)thread.tid, (unsigned)thread.tid);
    if (thread.named) out.Print(" \"%s\"", LineTextFromWide(thread.name.data(), thread.name.size()).c_str());
    if (thread.timed && thread.figures.ended) out.Print(" ended");
    if (thread.timed && !thread.figures.ended) out.Print(" %u%%", thread.figures.busy);
  }
  if (idle != NotIdle) out.Print(" (idle: %s)", IdleReasonText(idle));
  out.Print("\n");
}

void GroupedTextForm::PrintGroups(const ReportRecord& record) {
  ReportText& out = text_.Out();
  out.Show();
  keepingThreads_ = false;
  if (threads_.size() < record.process.threads.size()) threads_.resize(record.process.threads.size());
  for (const ThreadGroup& group : GroupThreads(record.process)) {
    PrintGroupLine(record, group.members, group.idle);
    const KeptThread& first = threads_[group.members[0]];
    out.Print("%s", first.frames.c_str());
    for (size_t at : group.members) out.Print("%s%s", threads_[at].wait.c_str(), threads_[at].after.c_str());
    out.Print("\n");
  }
  out.Print("%s", outside_.c_str());
  threads_.clear();
  keptFrames_.clear();
  outside_.clear();
}
