#ifndef THREADSIFT_GROUPED_TEXT_FORM_H
#define THREADSIFT_GROUPED_TEXT_FORM_H

#include <string>
#include <unordered_map>
#include <vector>

#include "threadsift/report/ReportForm.h"
#include "threadsift/report/TextForm.h"

// The text report with each distinct stack once (-g): everything before the
// threads is printed as it comes; each thread's lines are kept as the text
// would print them, and once every thread is walked the groups are printed,
// each under a line that counts and names its threads, with the frames of
// the lowest id among them and the wait line of each. What the process
// says after the threads began, outside any thread, follows the groups.
class GroupedTextForm : public ReportForm {
 public:
  void Said(const ReportRecord& record, ReportPart part) override;
  void FailureSaid(const ReportRecord& record, const ReportedFailure& failure) override;
  void ProcessDone(const ReportRecord& record) override;
  void RunDone(const ReportRecord& record) override { text_.RunDone(record); }

 private:
  // A thread's lines: before its wait line, the wait line, and after it.
  struct KeptThread {
    std::string frames;
    std::string wait;
    std::string after;
  };

  TextForm text_;
  bool keepingThreads_ = false;      // the threads have begun and the groups are not printed yet
  std::vector<KeptThread> threads_;  // by the index of the thread in the record
  std::string outside_;              // said after the threads began, outside any thread
  std::string dropped_;              // the lines the groups replace
  // Of each group so far, the thread whose frames are kept: the lowest id.
  std::unordered_map<std::string, size_t> keptFrames_;

  void KeepThreadPart(const ReportRecord& record, ReportPart part);
  void KeepLowestFrames(const ReportRecord& record);
  void PrintGroups(const ReportRecord& record);
  void PrintGroupLine(const ReportRecord& record, const std::vector<size_t>& members, IdleReason idle);
};

#endif
