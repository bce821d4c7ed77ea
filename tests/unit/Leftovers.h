// What a run of a tool may not leave behind, read from the machine's books;
// shared by the unit tests and the fuzz targets.
#ifndef TESTS_UNIT_LEFTOVERS_H
#define TESTS_UNIT_LEFTOVERS_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Machine.h"

// Everything the run left that it should not have: a thread whose suspend
// count changed, a handle, heap block, symbol session, console handler or
// debug buffer left, a platform call misused. What cannot hold after one of
// the operations in failed failed (a handle whose close failed, a thread
// whose resume failed, a console handler whose removal failed, a buffer whose
// destruction failed) is left out. suspendCounts: each thread's count before.
inline std::vector<std::string> Leftovers(const sim::Machine& m, const std::set<std::string>& failed,
                                          const std::map<DWORD, int>& suspendCounts) {
  std::vector<std::string> left;
  if (failed.count("ResumeThread") == 0) {
    for (const auto& t : suspendCounts) {
      if (m.SuspendCount(t.first) != t.second) left.push_back("suspend count of thread " + std::to_string(t.first));
    }
  }
  if (failed.count("CloseHandle") == 0 && m.OpenHandleCount() != 0) left.push_back("an open handle");
  if (failed.count("RtlDestroyQueryDebugBuffer") == 0 && m.books().debugBuffers != 0) left.push_back("a debug buffer");
  if (failed.count("SetConsoleCtrlHandler") == 0 && m.books().ctrlHandlers != 0) left.push_back("a console handler");
  if (m.LiveAllocationCount() != 0) left.push_back("a heap block");
  if (m.books().symbolSessions != 0) left.push_back("a symbol session");
  for (const std::string& misuse : m.books().misuses) left.push_back("misuse: " + misuse);
  return left;
}

#endif
