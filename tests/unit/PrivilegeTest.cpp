#include <gtest/gtest.h>

#include "Machine.h"
#include "Run.h"
#include "common/EnablePrivilege.h"
#include "simwin_api.h"

namespace {

// Runs EnablePrivilege in a child; the exit status is its result and the
// output ends with the last-error code the caller would print.
sim::RunResult Enable(sim::Machine& m, const char* name) {
  return sim::RunInChild(m, [name]() {
    int result = EnablePrivilege(name);
    printf("last error %d\n", (int)GetLastError());
    fflush(stdout);
    return result;
  });
}

TEST(EnablePrivilege, EnablesExactlyTheOnePrivilegeAndClosesTheToken) {
  sim::Machine m;
  sim::RunResult r = Enable(m, "SeDebugPrivilege");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "last error 0\n");
  EXPECT_EQ(m.CallArgs("OpenProcessToken"), std::vector<std::string>{"current,0x28"});
  EXPECT_EQ(m.CallArgs("LookupPrivilegeValueA"), std::vector<std::string>{"(null),SeDebugPrivilege"});
  // Not disabling all; one entry; LUID 20; enabled; no previous state asked for.
  EXPECT_EQ(m.CallArgs("AdjustTokenPrivileges"), std::vector<std::string>{"0,1,20,0x2,0,0,0"});
  EXPECT_EQ(m.books().enabledPrivileges, std::vector<std::string>{"SeDebugPrivilege"});
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

TEST(EnablePrivilege, AccountWithoutThePrivilegeStillSucceeds) {
  sim::Machine m;
  m.DenyPrivilege("SeDebugPrivilege");
  sim::RunResult r = Enable(m, "SeDebugPrivilege");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "last error 1300\n");
  EXPECT_TRUE(m.books().enabledPrivileges.empty());
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

TEST(EnablePrivilege, EachFailedStepPrintsOneLineKeepsItsCodeAndClosesTheToken) {
  struct Case {
    const char* op;
    const char* name;
    std::string out;
  };
  const Case cases[] = {
      {"OpenProcessToken", "SeDebugPrivilege", "OpenProcessToken error 5\nlast error 5\n"},
      {"LookupPrivilegeValueA", "SeDebugPrivilege", "LookupPrivilegeValue SeDebugPrivilege error 5\nlast error 5\n"},
      {"AdjustTokenPrivileges", "SeDebugPrivilege", "AdjustTokenPrivileges error 5\nlast error 5\n"},
  };
  for (const Case& c : cases) {
    sim::Machine m;
    m.Fail(c.op, ERROR_ACCESS_DENIED);
    m.Fail("CloseHandle", ERROR_INVALID_HANDLE);  // the close must not change the code the caller prints
    sim::RunResult r = Enable(m, c.name);
    EXPECT_EQ(r.status, 0) << c.op;
    EXPECT_EQ(r.out, c.out) << c.op;
    EXPECT_TRUE(m.books().enabledPrivileges.empty());
  }
}

TEST(EnablePrivilege, UnknownPrivilegeNameIsReportedWithItsName) {
  sim::Machine m;
  sim::RunResult r = Enable(m, "SeNoSuch%sPrivilege");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "LookupPrivilegeValue SeNoSuch%sPrivilege error 1313\nlast error 1313\n");
  EXPECT_EQ(m.CallCount("AdjustTokenPrivileges"), 0);
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

TEST(EnablePrivilege, AlreadyEnabledPrivilegeGivesOne) {
  sim::Machine m;
  sim::RunResult r =
      sim::RunInChild(m, []() { return EnablePrivilege("SeDebugPrivilege") + EnablePrivilege("SeDebugPrivilege"); });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(m.OpenHandleCount(), 0);
}

}  // namespace
