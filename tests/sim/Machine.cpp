#include "Machine.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

Machine* g_active = nullptr;

// Module names compare without case and without a ".dll" ending, as the
// platform's loader does.
std::string ModuleKey(const std::string& name) {
  std::string key;
  for (char c : name) key += (char)std::tolower((unsigned char)c);
  if (key.size() > 4 && key.compare(key.size() - 4, 4, ".dll") == 0) key.resize(key.size() - 4);
  return key;
}

// Books are written one record a line, fields separated by tabs; texts never
// hold tabs or newlines, which are replaced.
std::string Clean(std::string text) {
  std::replace(text.begin(), text.end(), '\t', ' ');
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

}  // namespace

Thread& Process::AddThread(DWORD tid) {
  threads.push_back(Thread{tid});
  return threads.back();
}

Machine::Machine() {
  modules_["ntdll"] = {"NtQuerySystemInformation"};
  modules_["kernel32"] = {};
  modules_["advapi32"] = {};
  modules_["imagehlp"] = {};
  modules_["psapi"] = {};
  modules_["version"] = {};
}

Process& Machine::AddProcess(DWORD pid, const std::u16string& name) {
  processes.push_back(Process{pid, name, true, {}, true});
  return processes.back();
}

Process& Machine::AddUnnamedProcess(DWORD pid) {
  processes.push_back(Process{pid, u"", false, {}, true});
  return processes.back();
}

Process* Machine::FindProcess(DWORD pid) {
  for (Process& p : processes) {
    if (p.id == pid) return &p;
  }
  return nullptr;
}

void Machine::SetProcessIds(const std::vector<DWORD>& ids) {
  processIds = ids;
  processIdsSet = true;
}

void Machine::RemoveModule(const std::string& module) { modules_.erase(ModuleKey(module)); }

void Machine::RemoveEntry(const std::string& module, const std::string& entry) {
  modules_[ModuleKey(module)].erase(entry);
}

void Machine::Fail(const std::string& op, DWORD lastError, int nth) {
  failRules_.push_back(FailRule{op, nth, false, 0, lastError, STATUS_SUCCESS});
}

void Machine::FailStatus(const std::string& op, NTSTATUS status, int nth) {
  failRules_.push_back(FailRule{op, nth, false, 0, 0, status});
}

void Machine::FailFor(const std::string& op, uint64_t key, DWORD lastError) {
  failRules_.push_back(FailRule{op, 0, true, key, lastError, STATUS_SUCCESS});
}

const FailRule* Machine::Enter(const char* op, uint64_t key, const std::string& args) {
  int count = ++callCounts_[op];
  books_.calls.push_back(CallRecord{op, args});
  auto raise = ctrlAtCall_.find(op);
  if (raise != ctrlAtCall_.end() && raise->second == count) RaiseCtrlEvent();
  for (const FailRule& rule : failRules_) {
    if (rule.op != op) continue;
    if (rule.nth != 0 && rule.nth != count) continue;
    if (rule.keyed && rule.key != key) continue;
    return &rule;
  }
  return nullptr;
}

HANDLE Machine::NewHandle(const std::string& kind, const std::string& name) {
  HANDLE handle = (HANDLE)nextHandle_;
  nextHandle_ += 4;
  handles_[handle] = HandleEntry{kind, name};
  return handle;
}

const HandleEntry* Machine::FindHandle(HANDLE handle) const {
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

bool Machine::ReleaseHandle(HANDLE handle) { return handles_.erase(handle) != 0; }

HMODULE Machine::ModuleHandle(const std::string& module) const {
  auto it = modules_.find(ModuleKey(module));
  return it == modules_.end() ? nullptr : (HMODULE)&it->first;
}

bool Machine::HasEntry(const std::string& module, const std::string& entry) const {
  auto it = modules_.find(ModuleKey(module));
  return it != modules_.end() && it->second.count(entry) != 0;
}

void Machine::NoteOutput(const std::string& text) {
  if (ctrlAfterOutput_.empty()) return;
  output_ += text;
  for (auto it = ctrlAfterOutput_.begin(); it != ctrlAfterOutput_.end(); ++it) {
    if (output_.find(*it) != std::string::npos) {
      ctrlAfterOutput_.erase(it);
      RaiseCtrlEvent();
      return;
    }
  }
}

// Delivers a console control event as the platform does: the handlers, last
// registered first, until one reports it handled; without one, the default
// action ends the process with STATUS_CONTROL_C_EXIT.
void Machine::RaiseCtrlEvent() {
  for (auto it = ctrlHandlers.rbegin(); it != ctrlHandlers.rend(); ++it) {
    if ((*it)(CTRL_C_EVENT)) return;
  }
  books_.endedByCtrlEvent = true;
  fflush(stdout);
  std::exit(0x3A);
}

int Machine::CallCount(const std::string& op) const {
  return (int)std::count_if(books_.calls.begin(), books_.calls.end(),
                            [&](const CallRecord& c) { return c.op == op; });
}

std::vector<std::string> Machine::CallArgs(const std::string& op) const {
  std::vector<std::string> args;
  for (const CallRecord& c : books_.calls) {
    if (c.op == op) args.push_back(c.args);
  }
  return args;
}

std::vector<std::string> Machine::CallSequence() const {
  std::vector<std::string> ops;
  for (const CallRecord& c : books_.calls) ops.push_back(c.op);
  return ops;
}

std::string Machine::SerializeBooks() {
  std::ostringstream out;
  for (const CallRecord& c : books_.calls) out << "call\t" << Clean(c.op) << '\t' << Clean(c.args) << '\n';
  for (const auto& h : handles_) out << "handle\t" << Clean(h.second.kind + ":" + h.second.name) << '\n';
  for (const std::string& e : books_.signalledEvents) out << "signalled\t" << Clean(e) << '\n';
  for (const std::string& p : books_.enabledPrivileges) out << "privilege\t" << Clean(p) << '\n';
  for (const std::string& m : books_.misuses) out << "misuse\t" << Clean(m) << '\n';
  out << "allocations\t" << allocations.size() << '\n';
  out << "ctrlhandlers\t" << ctrlHandlers.size() << '\n';
  out << "symbolsessions\t" << symbolSessions.size() << '\n';
  out << "zeroed\t" << (books_.firstSnapshotBufferZeroed ? 1 : 0) << '\n';
  out << "ctrlexit\t" << (books_.endedByCtrlEvent ? 1 : 0) << '\n';
  return out.str();
}

void Machine::LoadBooks(const std::string& text) {
  books_ = Books();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string key = line.substr(0, tab);
    std::string value = line.substr(tab + 1);
    if (key == "call") {
      size_t split = value.find('\t');
      books_.calls.push_back(CallRecord{value.substr(0, split),
                                        split == std::string::npos ? "" : value.substr(split + 1)});
    } else if (key == "handle") {
      books_.openHandles.push_back(value);
    } else if (key == "signalled") {
      books_.signalledEvents.push_back(value);
    } else if (key == "privilege") {
      books_.enabledPrivileges.push_back(value);
    } else if (key == "misuse") {
      books_.misuses.push_back(value);
    } else if (key == "allocations") {
      books_.liveAllocations = std::atoi(value.c_str());
    } else if (key == "ctrlhandlers") {
      books_.ctrlHandlers = std::atoi(value.c_str());
    } else if (key == "symbolsessions") {
      books_.symbolSessions = std::atoi(value.c_str());
    } else if (key == "zeroed") {
      books_.firstSnapshotBufferZeroed = value == "1";
    } else if (key == "ctrlexit") {
      books_.endedByCtrlEvent = value == "1";
    }
  }
}

Machine& ActiveMachine() {
  if (g_active == nullptr) {
    std::fprintf(stderr, "simulated platform called with no machine\n");
    std::abort();
  }
  return *g_active;
}

void SetActiveMachine(Machine* machine) { g_active = machine; }

}  // namespace sim
