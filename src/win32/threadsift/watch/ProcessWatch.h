#ifndef THREADSIFT_PROCESS_WATCH_H
#define THREADSIFT_PROCESS_WATCH_H

#include "threadsift/watch/WatchConditions.h"

class ReportSink;

enum WatchOutcome { ConditionHeldOutcome, ProcessEndedOutcome, WatchInterruptedOutcome, WatchFailedOutcome };

// -a: watches process pid (kAllProcesses: every process, new ones as they
// start) until one of the conditions holds for one, a break key is
// pressed, or the one process ends, and says so (the line that begins the
// watch, then the one that ends it); *heldPid is the process whose
// condition held. The deadlock condition (one process only) walks the
// process as -w does, holding one thread at a time, and shows nothing of
// the walk. WatchFailedOutcome after a failure's line.
WatchOutcome WatchProcess(ReportSink& report, int pid, const WatchConditions& conditions, int* heldPid);

#endif
