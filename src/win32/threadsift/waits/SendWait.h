#ifndef THREADSIFT_SEND_WAIT_H
#define THREADSIFT_SEND_WAIT_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/report/ReportRecord.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/WaitRoutines.h"

// The reader of a message send. Once the thread runs again: the window
// thread tid sends a message to, whose wait frames are frames, read where
// the routine that keeps it in this width does (context is the thread's
// registers as held). True when that value is a window whose thread is not
// tid; its thread, that thread's process and its class are read then.
bool FindSentMessage(const ExaminedProcess& process, const StackCopy& stack, const WalkContext& context, DWORD tid,
                     const std::vector<FoundFrame>& found, const WaitFrames& frames, SentMessage* sent);

// True when window is a window still, and thread receiver answers for it.
bool WindowAnsweredBy(Address window, DWORD receiver);

#endif
