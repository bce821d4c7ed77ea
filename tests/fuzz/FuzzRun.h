// What both fuzz targets share: the input read as an argument vector, a
// small machine to run against, and the checks every run must pass.
#ifndef TESTS_FUZZ_FUZZ_RUN_H
#define TESTS_FUZZ_FUZZ_RUN_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Machine.h"

// The input split at its zero bytes into at most 16 arguments.
std::vector<std::string> ArgumentsOf(const uint8_t* data, size_t size);

// A process 120 with threads, modules, symbols and locks, an event "done",
// and the tool's own process last.
sim::Machine FuzzMachine();

// Runs the tool's main in this process and aborts (which the fuzzer reports
// with the input) unless it ended soundly: status 0 or 1, nothing left open,
// allocated, registered or suspended.
void RunAndCheck(int (*entry)(int, char**), const char* program, const std::vector<std::string>& args);
// The same on a machine of the caller's; suspendCounts: each thread's
// suspend count before the run.
void RunAndCheck(sim::Machine& m, int (*entry)(int, char**), const char* program, const std::vector<std::string>& args,
                 const std::map<DWORD, int>& suspendCounts);

// Sends standard output to /dev/null: only how each run ends is of interest.
int DiscardReports();

#endif
