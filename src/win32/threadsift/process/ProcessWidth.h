#ifndef THREADSIFT_PROCESS_WIDTH_H
#define THREADSIFT_PROCESS_WIDTH_H

#include <windows.h>

#include <string>

#include "threadsift/process/ExaminedProcess.h"

class ReportSink;

// Which width a process has, and where the files of its modules lie.

// Decides the process's width from the machine its main image (mapped at
// mainImage) names, or, when its header cannot be read, assumes one and
// says so; false, after the process's one line, when it is not walked: it
// is built for another machine, or for a width this build cannot walk.
bool DecideProcessWidth(ExaminedProcess& process, ReportSink& report, Address mainImage);

// True when the tool runs in the 32-bit layer of 64-bit Windows and the
// process does not: a 64-bit process, whose modules a 32-bit tool cannot
// list.
bool IsWiderProcess(HANDLE process);

// Notes the system folder and the one of its 32-bit files, for a process of
// the other width; nothing when one cannot be had.
void FindSystemFolders(ExaminedProcess& process);

// The file a module's symbols and version come from. A 32-bit process on
// 64-bit Windows names its system modules by the system folder, which holds
// the 64-bit files: its 32-bit ones are in the folder the platform keeps for
// them.
std::string FileOfModule(const ExaminedProcess& process, const char* path);

#endif
