#ifndef THREADSIFT_CONDITION_WAIT_H
#define THREADSIFT_CONDITION_WAIT_H

#include <windows.h>

#include <vector>

#include "threadsift/process/ExaminedProcess.h"
#include "threadsift/thread/StackCopy.h"
#include "threadsift/unwind/FrameNaming.h"
#include "threadsift/waits/WaitRoutines.h"

// The reader of a condition-variable sleep. Once the thread runs again,
// over its stack copy: the variable thread tid sleeps on, whose wait frames
// are frames, tied to this thread as a slim lock's wait is: under Wine by
// the thread's address-wait entry (at the variable itself), on Windows by a
// word of the wait frames that addresses a variable whose chain of wait
// blocks reaches them. Says nothing.
bool FindConditionVariable(const ExaminedProcess& process, const StackCopy& stack, DWORD tid,
                           const std::vector<FoundFrame>& found, const WaitFrames& frames, Address* variable);

#endif
