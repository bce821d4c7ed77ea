#ifndef THREADSIFT_JSON_FORM_H
#define THREADSIFT_JSON_FORM_H

#include "threadsift/report/ReportForm.h"

// The report as JSON lines (-j): the record of each process as one line
// when its walk is over, and the failures said outside any process as one
// line when the run ends. Each line starts with the run's members (tool,
// version, pointer width, computer and time).
class JsonForm : public ReportForm {
 public:
  // Grouped (-g), each process's line also gives its groups of threads.
  explicit JsonForm(bool grouped = false) : grouped_(grouped) {}
  void Said(const ReportRecord&, ReportPart) override {}
  void FailureSaid(const ReportRecord&, const ReportedFailure&) override {}
  void ProcessDone(const ReportRecord& record) override;
  void RunDone(const ReportRecord& record) override;

 private:
  bool grouped_;
};

#endif
