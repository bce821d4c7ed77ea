#ifndef THREADSIFT_REPORT_SINK_H
#define THREADSIFT_REPORT_SINK_H

#include <windows.h>

#include <string>
#include <vector>

#include "threadsift/Bitness.h"
#include "threadsift/ProcessSnapshot.h"

// Everything the report says goes through these functions. As text, each
// prints its part of the report as it comes. As JSON (-j), each adds to the
// object of the process in hand, which is written as one line when its
// walk is over; what is said outside any process (a failure before the
// first) is written as one line of its own when the run ends.

// Chooses the form for the whole run and starts it: the text prints the
// banner; the JSON notes the tool's version and pointer width.
void StartReport(bool json, const char* banner, const char* version);

// The run header: the computer's name and the time of the run.
void ReportRunHeader(const char* computerName);

// Ends the run: the JSON writes a line for the failures said outside any
// process, when there were any. Prints nothing as text.
void EndRunReport();

// The report of one process, from the first thing tried for it to the end
// of its walk; the JSON writes its line at the end.
void BeginProcessReport(int pid);
void EndProcessReport();

void ReportProcessHeader(int pid, const ImageText& image, DWORD threadCount);

// The empty line of the text report that ends a part of it.
void ReportEmptyLine();

// The module listing: its header and rule, then a row a module.
void ReportModuleListing();
void ReportModule(Address base, DWORD size, const std::string& label, const char* path);

// The empty line after the module listing, where the threads begin.
void BeginThreadsReport();

// A thread's figures with -c: its processor time so far, and its share of
// one processor over the interval in whole per cent, or ended.
struct ThreadFigures {
  ULONGLONG milliseconds;
  bool ended;
  unsigned busy;
};

// A thread's line (with its figures, or without: null); the thread is in
// hand until its section ends.
void ReportThread(DWORD tid, const ThreadFigures* times);
void EndThreadReport();

// The thread in hand is walked: its frames follow (if any).
void BeginFramesReport();

// A frame: its address and module; then either no symbol, or the symbol
// with the argument words and displacement, and its source line when known;
// then its end. A failure said between its start and its end ends it.
void ReportFrameStart(Address pc);
void ReportFrameWithoutSymbol(Address pc);
void ReportFrameSymbol(const char* name, const Address params[4], SymbolDisplacement displacement);
void ReportFrameSource(const char* file, unsigned line);
void ReportFrameEnd();

// The thread in hand waits for critical section at section, held by the
// thread holder (null when unknown), which may have ended.
void ReportSectionWait(DWORD tid, Address section, const DWORD* holder, bool holderEnded);

// The cycles of waiters of a process, each from its lowest thread id.
void ReportDeadlocks(const std::vector<std::vector<DWORD>>& cycles);

// Between processes of a sweep, and at its end.
void ReportProcessSeparator();
void ReportProcessCount(int count);

// The run ended early for a break key.
void ReportInterrupt();

// A failed step with the platform's code, and the name it was given when
// the line names one ("OpenEvent NAME error 2"). It belongs to the frame,
// thread or process in hand, or to the run.
void ReportFailure(const char* step, int code, const char* name = NULL);
// The walk of thread tid failed.
void ReportWalkThreadFailure(DWORD tid, int code);
// The thread list of process pid could not be had.
void ReportMissingThreads(int pid, int code);
// A native call failed with status; returned is its return length.
void ReportStatusFailure(const char* step, ULONG status, ULONG returned);
// The system snapshot would need more than the 16 MB a buffer may have.
void ReportSnapshotLimit(ULONG status);
// No memory for a buffer of bytes: the snapshot's or the thread list's, or
// a version block's.
void ReportAllocationFailure(size_t bytes);
void ReportVersionAllocationFailure(size_t bytes);

#endif
