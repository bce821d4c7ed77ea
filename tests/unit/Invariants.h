// What every run of a tool must leave, whatever the platform did to it.
#ifndef TESTS_UNIT_INVARIANTS_H
#define TESTS_UNIT_INVARIANTS_H

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "Leftovers.h"
#include "Machine.h"
#include "Run.h"

inline bool HasErrorLine(const std::string& out) {
  for (const char* mark : {" error ", "FATAL: ", "ERROR: ", "returned no lock list"}) {
    if (out.find(mark) != std::string::npos) return true;
  }
  return false;
}

// Checks a run in which the operations named in failed were made to fail:
// it ended with 0 or 1 (and an error line for 1), printed no null text, and
// left nothing behind. suspendCounts: each thread's count before the run.
inline void ExpectSoundEnd(const sim::Machine& m, const sim::RunResult& r, const std::string& where,
                           const std::set<std::string>& failed, const std::map<DWORD, int>& suspendCounts) {
  ASSERT_EQ(r.signal, 0) << where << "\n" << r.out;
  EXPECT_TRUE(r.status == 0 || r.status == 1) << where << " status " << r.status;
  if (r.status == 1) {
    EXPECT_TRUE(HasErrorLine(r.out)) << where << "\n" << r.out;
  }
  EXPECT_EQ(r.out.find("(null)"), std::string::npos) << where;
  EXPECT_EQ(Leftovers(m, failed, suspendCounts), std::vector<std::string>()) << where;
}

#endif
