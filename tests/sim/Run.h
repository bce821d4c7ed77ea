// Runs a tool's main (or any body) in a forked child against a simulated
// machine, so that paths ending in exit() are tested like any other and no
// process-wide state leaks from one test to the next.
#ifndef SIM_RUN_H
#define SIM_RUN_H

#include <functional>
#include <string>
#include <vector>

#include "Machine.h"

namespace sim {

struct RunResult {
  int status = -1;  // exit status, or -1 when the child was killed
  int signal = 0;   // the signal that killed the child, if any
  std::string out;  // everything written to standard output
};

// Runs body in a child; its result is the exit status. Afterwards the
// machine's books are those the child left.
RunResult RunInChild(Machine& m, const std::function<int()>& body);

// Runs entry as the program's main with argv[0] = program.
RunResult RunMain(Machine& m, int (*entry)(int, char**), const char* program, const std::vector<std::string>& args);

// Runs entry in this process, for fuzzing, where a child per run would hide
// the coverage: the program's exit() comes back as the returned status, and
// the output goes where standard output goes. The machine's books are its
// live state afterwards.
int RunMainHere(Machine& m, int (*entry)(int, char**), const char* program, const std::vector<std::string>& args);

}  // namespace sim

#endif
