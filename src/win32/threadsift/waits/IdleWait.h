#ifndef THREADSIFT_IDLE_WAIT_H
#define THREADSIFT_IDLE_WAIT_H

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/report/ReportRecord.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"

// Why a walked thread is idle, over its stack copy once it runs again: a
// pool worker waiting for work, a message loop waiting for a message, a
// sleep, or a console read. Told by the routine names of the innermost
// frames only (with the frame the walk missed put back): a system-call stub
// without a symbol in the platform's stub modules, the steps of such a wait
// (system calls and the platform's routines beneath it), then the routine
// that makes it. A thread whose first named frame outside those
// steps is anything else is not idle, whatever lies deeper in its stack.
IdleReason FindIdleReason(const ExaminedProcess& process, const StackCopy& stack, const std::vector<FoundFrame>& found);

#endif
