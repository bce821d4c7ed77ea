#ifndef THREADSIFT_FRAME_NAMING_H
#define THREADSIFT_FRAME_NAMING_H

#include <windows.h>

#include <string>
#include <vector>

#include "threadsift/base/Bitness.h"

struct ExaminedProcess;
class ReportSink;

// What a frame's line needs, taken while its thread is stopped.
struct FoundFrame {
  Address pc;
  Address params[4];
  Address stack;  // the frame's stack address, as the walk gives it
  // Put back by a wait search where the walk missed it: its routine keeps
  // no frame pointer, and may have reused its argument words.
  bool putBack = false;
};

// Binds the image help library's optional source-line lookup (null when the
// library has none). False when the library is not loaded (after saying so).
bool BindLineLookup(ReportSink& report, LineLookup* lookup);

// Says the line of every frame found: its address, module, symbol with the
// argument words and displacement, and source line.
void PrintFrames(ExaminedProcess& process, ReportSink& report, const std::vector<FoundFrame>& found);

// A frame's name alone: "module!symbol" (the undecorated name without its
// argument list, or the decorated name when undecoration fails),
// "module!0x<address>" without a symbol, or "0x<address>" outside every
// module.
std::string NameOfFrame(const ExaminedProcess& process, Address pc);

// The same without looking up a symbol: "module!0x<address>", or
// "0x<address>" outside every module.
std::string NameOfFrameByAddress(const ExaminedProcess& process, Address pc);

// The source file and line where the routine that holds pc begins, when
// the process has a line lookup and the symbols know them; false otherwise.
bool SourceOfRoutine(const ExaminedProcess& process, Address pc, std::string* file, unsigned* line);

// The routine of the frame at pc without module and without the decoration
// of a plain C routine (leading underscores, a trailing "@<argument
// bytes>"); false for a frame without a symbol (the platform's stubs). A
// C++ routine keeps its decorated name: the routines looked for are C
// routines. A frame named before is not looked up again.
bool PlainRoutineOfFrame(const ExaminedProcess& process, Address pc, std::string* routine);

#endif
