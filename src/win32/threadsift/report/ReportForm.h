#ifndef THREADSIFT_REPORT_FORM_H
#define THREADSIFT_REPORT_FORM_H

#include "threadsift/report/ReportRecord.h"

// The part of the report just added to the record: the last of its kind
// (the last module row, the last frame of the thread in hand, ...). Some
// parts are the text's layout alone and add nothing to the record.
enum ReportPart {
  BannerPart,
  RunHeaderPart,
  ProcessHeaderPart,
  EmptyLinePart,
  AssumedWidthPart,
  ModuleListingPart,
  ModulePart,
  ThreadsPart,  // the threads begin
  ThreadPart,
  ThreadEndPart,
  FrameStartPart,
  FrameWithoutSymbolPart,
  FrameSymbolPart,
  FrameSourcePart,
  FrameEndPart,
  FrameCutShortPart,
  WaitPart,  // the thread in hand's wait
  CyclesPart,
  ProcessSeparatorPart,
  ProcessCountPart,
  InterruptPart,
  WatchBeginPart,  // -a: the watch begins
  NoWindowPart,    // the watched process has no window yet
  TriggerPart,     // a condition held
  WatchEndPart     // the process ended before any condition held
};

// One form of the report: how the record is shown. A form is told each
// part as it is added, each failure as it is said, and when the process in
// hand and the run are done; it may show each part as it comes (the text)
// or the whole record of a process at its end (the JSON). Another form (a
// grouped text, a picture) is a class like these, chosen in ReportSink's
// constructor.
class ReportForm {
 public:
  virtual ~ReportForm() {}
  virtual void Said(const ReportRecord& record, ReportPart part) = 0;
  // failure was just added to the run's, the process's or the thread in
  // hand's failures.
  virtual void FailureSaid(const ReportRecord& record, const ReportedFailure& failure) = 0;
  virtual void ProcessDone(const ReportRecord& record) = 0;
  // The run ends: its failures outside any process are cleared after.
  virtual void RunDone(const ReportRecord& record) = 0;
};

#endif
