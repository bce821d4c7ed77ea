// What every run of a tool must leave, whatever the platform did to it.
#ifndef TESTS_UNIT_INVARIANTS_H
#define TESTS_UNIT_INVARIANTS_H

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "Machine.h"
#include "Run.h"

inline bool HasErrorLine(const std::string& out) {
  for (const char* mark : {" error ", "FATAL: ", "ERROR: ", "returned no lock list"}) {
    if (out.find(mark) != std::string::npos) return true;
  }
  return false;
}

// Checks a run in which the operations named in failed were made to fail.
// What cannot hold after such a failure (a handle whose close failed, a
// thread whose resume failed, a console handler whose removal failed) is
// left out. suspendCounts: each thread's count before the run.
inline void ExpectSoundEnd(const sim::Machine& m, const sim::RunResult& r, const std::string& where,
                           const std::set<std::string>& failed, const std::map<DWORD, int>& suspendCounts) {
  ASSERT_EQ(r.signal, 0) << where << "\n" << r.out;
  EXPECT_TRUE(r.status == 0 || r.status == 1) << where << " status " << r.status;
  if (r.status == 1) {
    EXPECT_TRUE(HasErrorLine(r.out)) << where << "\n" << r.out;
  }
  EXPECT_EQ(r.out.find("(null)"), std::string::npos) << where;
  if (failed.count("ResumeThread") == 0) {
    for (const auto& t : suspendCounts) EXPECT_EQ(m.SuspendCount(t.first), t.second) << where << " thread " << t.first;
  }
  if (failed.count("CloseHandle") == 0) {
    EXPECT_EQ(m.OpenHandleCount(), 0) << where;
  }
  if (failed.count("RtlDestroyQueryDebugBuffer") == 0) {
    EXPECT_EQ(m.books().debugBuffers, 0) << where;
  }
  EXPECT_EQ(m.LiveAllocationCount(), 0) << where;
  EXPECT_EQ(m.books().symbolSessions, 0) << where;
  if (failed.count("SetConsoleCtrlHandler") == 0) {
    EXPECT_EQ(m.books().ctrlHandlers, 0) << where;
  }
  EXPECT_TRUE(m.books().misuses.empty()) << where << ": " << ::testing::PrintToString(m.books().misuses);
}

#endif
