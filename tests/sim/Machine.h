// A simulated Windows machine for the tools' tests: what a test describes
// (processes, threads, events, privileges, failures), the state the platform
// keeps while a tool runs, and the books that a test reads afterwards.
#ifndef SIM_MACHINE_H
#define SIM_MACHINE_H

#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "simwin_api.h"

namespace sim {

struct Thread {
  DWORD id;
};

struct Process {
  DWORD id;
  std::u16string name;
  bool named;
  std::deque<Thread> threads;
  bool inSnapshot = true;  // false: it can be opened but has left the snapshot  // a deque keeps references stable as threads are added

  Thread& AddThread(DWORD tid);
};

// One failure to inject: operation op fails at its nth call (0: every call),
// optionally only for calls whose key argument equals key.
struct FailRule {
  std::string op;
  int nth;
  bool keyed;
  uint64_t key;
  DWORD lastError;
  NTSTATUS status;
};

struct CallRecord {
  std::string op;
  std::string args;
};

// What a run left behind, read by tests after the run.
struct Books {
  std::vector<CallRecord> calls;
  std::vector<std::string> openHandles;  // kind:name of each handle left open
  int liveAllocations = 0;
  int ctrlHandlers = 0;
  int symbolSessions = 0;
  std::vector<std::string> signalledEvents;
  std::vector<std::string> enabledPrivileges;
  std::vector<std::string> misuses;  // calls the platform would reject or that corrupt state
  bool firstSnapshotBufferZeroed = false;
  bool endedByCtrlEvent = false;
};

struct HandleEntry {
  std::string kind;  // process, event, token
  std::string name;
};

class Machine {
 public:
  Machine();

  // --- What the machine holds ---
  Process& AddProcess(DWORD pid, const std::u16string& name);
  Process& AddUnnamedProcess(DWORD pid);
  Process* FindProcess(DWORD pid);
  // What EnumProcesses lists; by default the ids of the snapshot's processes.
  void SetProcessIds(const std::vector<DWORD>& ids);
  // The snapshot needs at least this many bytes.
  void SetSnapshotSize(size_t bytes) { snapshotSize_ = bytes; }
  void SetMajorVersion(DWORD major) { majorVersion_ = major; }
  void SetComputerName(const std::string& name) { computerName_ = name; }
  void SetSelf(DWORD pid, DWORD tid) { selfPid_ = pid; selfTid_ = tid; }
  void SetClock(time_t now) { clock_ = now; }
  void AddEvent(const std::string& name) { events_.insert(name); }
  void RemoveModule(const std::string& module);
  void RemoveEntry(const std::string& module, const std::string& entry);
  void DenyPrivilege(const std::string& name) { deniedPrivileges_.insert(name); }

  // --- Failures and console events ---
  void Fail(const std::string& op, DWORD lastError, int nth = 0);
  void FailStatus(const std::string& op, NTSTATUS status, int nth = 0);
  void FailFor(const std::string& op, uint64_t key, DWORD lastError);
  void RaiseCtrlEventAfterOutput(const std::string& text) { ctrlAfterOutput_.push_back(text); }
  void RaiseCtrlEventAtCall(const std::string& op, int nth) { ctrlAtCall_[op] = nth; }

  // --- Books of the last run ---
  const Books& books() const { return books_; }
  int CallCount(const std::string& op) const;
  std::vector<std::string> CallArgs(const std::string& op) const;
  std::vector<std::string> CallSequence() const;
  int OpenHandleCount() const { return (int)books_.openHandles.size(); }
  int LiveAllocationCount() const { return books_.liveAllocations; }

  // --- The platform's side, used by the simulated operations ---
  // Counts and records a call; returns the failure that applies to it, if any.
  const FailRule* Enter(const char* op, uint64_t key, const std::string& args);
  HANDLE NewHandle(const std::string& kind, const std::string& name);
  const HandleEntry* FindHandle(HANDLE handle) const;
  bool ReleaseHandle(HANDLE handle);
  // A module's handle is its name as the machine keeps it; null when absent.
  HMODULE ModuleHandle(const std::string& module) const;
  bool HasEntry(const std::string& module, const std::string& entry) const;
  void NoteOutput(const std::string& text);
  void RaiseCtrlEvent();
  void NoteMisuse(const std::string& what) { books_.misuses.push_back(what); }

  DWORD lastError = 0;
  std::deque<Process> processes;
  std::vector<DWORD> processIds;
  bool processIdsSet = false;
  std::map<void*, size_t> allocations;
  std::vector<PHANDLER_ROUTINE> ctrlHandlers;
  std::set<HANDLE> symbolSessions;
  int snapshotQueries = 0;

  size_t snapshotSize() const { return snapshotSize_; }
  DWORD majorVersion() const { return majorVersion_; }
  const std::string& computerName() const { return computerName_; }
  DWORD selfPid() const { return selfPid_; }
  DWORD selfTid() const { return selfTid_; }
  time_t clock() const { return clock_; }
  bool HasEvent(const std::string& name) const { return events_.count(name) != 0; }
  bool PrivilegeDenied(const std::string& name) const { return deniedPrivileges_.count(name) != 0; }
  Books& mutableBooks() { return books_; }

  // Books travel from the child process that ran the tool to the test.
  std::string SerializeBooks();
  void LoadBooks(const std::string& text);

 private:
  size_t snapshotSize_ = 0;
  DWORD majorVersion_ = 5;
  std::string computerName_ = "BUILDHOST";
  DWORD selfPid_ = 4000;
  DWORD selfTid_ = 4004;
  time_t clock_ = 1000000000;  // Sun Sep  9 01:46:40 2001 UTC
  std::set<std::string> events_;
  std::set<std::string> deniedPrivileges_;
  std::map<std::string, std::set<std::string>> modules_;  // lower-case name without ".dll" -> entries
  std::vector<FailRule> failRules_;
  std::map<std::string, int> callCounts_;
  std::vector<std::string> ctrlAfterOutput_;
  std::map<std::string, int> ctrlAtCall_;
  std::string output_;
  std::map<HANDLE, HandleEntry> handles_;
  uintptr_t nextHandle_ = 0x100;
  Books books_;
};

// The machine the simulated operations act on (the one a run was started with).
Machine& ActiveMachine();
void SetActiveMachine(Machine* machine);

}  // namespace sim

#endif
