#ifndef LATCHSIFT_LOCK_REPORT_H
#define LATCHSIFT_LOCK_REPORT_H

// Prints the count line and two lines for every critical section and
// resource lock the process registered. False after printing the line of
// the step that failed.
bool ReportLocks(int pid);

#endif
