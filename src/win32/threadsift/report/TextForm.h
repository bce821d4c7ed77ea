#ifndef THREADSIFT_TEXT_FORM_H
#define THREADSIFT_TEXT_FORM_H

#include <string>

#include "threadsift/report/ReportForm.h"
#include "threadsift/report/ReportText.h"

// The report as text: each part printed as it comes, so that a break key
// that ends the report after the thread in hand leaves every line said so
// far, and a fault in the naming of a frame leaves its start on the line.
class TextForm : public ReportForm {
 public:
  void Said(const ReportRecord& record, ReportPart part) override;
  void FailureSaid(const ReportRecord& record, const ReportedFailure& failure) override;
  void ProcessDone(const ReportRecord&) override { lineOpen_ = false; }
  void RunDone(const ReportRecord&) override {}

  // Where its lines go.
  ReportText& Out() { return out_; }

 private:
  // A frame's line has started and not ended: a failure's line that ends it
  // continues it, a cut ends it.
  bool lineOpen_ = false;
  ReportText out_;

  void PrintFrameStart(const ReportRecord& record);
  void PrintFrameSymbol(const ReportRecord& record);
  void PrintModule(const ReportRecord& record);
  void PrintThread(const ReportedThread& thread);
  void PrintWatch(const ReportedWatch& watch, ReportPart part);
};

// An address as wide as the process in hand's: its digits.
std::string AddressTextOf(const ReportRecord& record, Address value);

// The wait line of the thread in hand (-w).
void PrintWaitLine(ReportText& out, const ReportRecord& record, const ReportedWait& wait);

// The cycles of waiters of the process, each from its lowest thread id.
void PrintCycles(ReportText& out, const std::vector<std::vector<DWORD>>& cycles);

#endif
