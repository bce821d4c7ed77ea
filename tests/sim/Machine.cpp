#include "Machine.h"
#include "PlatformCalls.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

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

// A console event that ends the process runs the handlers on a thread of
// the platform's while the program goes on. The two take turns, handing
// over at each platform call of the program and each Sleep of a handler,
// so that every run goes the same way.
struct ControlTurns {
  std::mutex mutex;
  std::condition_variable changed;
  bool handlerTurn = false;
  bool finished = false;
  unsigned sleptMs = 0;
};
// The closing event under way; never freed, as its thread may outlive the run.
ControlTurns* g_control = nullptr;
thread_local bool t_onControlThread = false;

// Gives the handlers their turn and waits until they sleep or have returned.
void HandOver(ControlTurns* c) {
  std::unique_lock<std::mutex> lock(c->mutex);
  c->handlerTurn = true;
  c->changed.notify_all();
  c->changed.wait(lock, [c] { return !c->handlerTurn; });
}

// Books are written one record a line, fields separated by tabs; texts never
// hold tabs or newlines, which are replaced.
std::string Clean(std::string text) {
  std::replace(text.begin(), text.end(), '\t', ' ');
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

}  // namespace

Thread& Thread::AddFrame(uint64_t pc, uint64_t p0, uint64_t p1, uint64_t p2, uint64_t p3) {
  frames.push_back(Frame{pc, {p0, p1, p2, p3}});
  return *this;
}

Symbol& Symbol::AddLine(uint64_t at, const std::string& file, DWORD number) {
  lines.push_back(SourceLine{at, file, number});
  return *this;
}

Symbol& Module::AddSymbol(uint64_t address, uint64_t length, const std::string& decorated,
                          const std::string& undecorated) {
  symbols.push_back(Symbol{address, length, decorated, undecorated.empty() ? decorated : undecorated, "", {}});
  return symbols.back();
}

VersionResource& VersionResource::FileVersion(WORD a, WORD b, WORD c, WORD d) {
  fileVersion[0] = a, fileVersion[1] = b, fileVersion[2] = c, fileVersion[3] = d;
  return *this;
}

VersionResource& VersionResource::ProductVersion(WORD a, WORD b, WORD c, WORD d) {
  productVersion[0] = a, productVersion[1] = b, productVersion[2] = c, productVersion[3] = d;
  return *this;
}

VersionResource& VersionResource::String(const std::string& subBlock, const std::string& text) {
  strings.emplace_back(subBlock, text);
  return *this;
}

uint64_t Process::UserTimeAt(uint64_t now) const {
  uint64_t used = 0;
  for (size_t i = 0; i < cpu.size() && cpu[i].from < now; ++i) {
    uint64_t until = i + 1 < cpu.size() ? std::min(cpu[i + 1].from, now) : now;
    // Microseconds at percent of a processor, in 100 ns units.
    used += (until - cpu[i].from) * cpu[i].percent / 10;
  }
  return used;
}

Thread& Process::AddThread(DWORD tid) {
  threads.emplace_back();
  threads.back().id = tid;
  // Stacks 2 MB apart, each in a region of its own.
  threads.back().stack.top = 0x10000000 + (uint64_t)threads.size() * 0x200000;
  return threads.back();
}

Thread* Process::FindThread(DWORD tid) {
  for (Thread& t : threads) {
    if (t.id == tid) return &t;
  }
  return nullptr;
}

Module& Process::AddModule(uint64_t base, DWORD size, const std::string& baseName, const std::string& path) {
  modules.push_back(Module{base, size, baseName, path, {}});
  return modules.back();
}

const Module* Process::ModuleAt(uint64_t base) const {
  long listings = ActiveMachine().ModuleListings();
  const Module* found = nullptr;
  for (const Module& module : modules) {
    if (module.base != base) continue;
    if (module.LoadedAfter(listings)) return &module;
    if (found == nullptr && (module.unloadedAtCall == 0 || listings < module.unloadedAtCall)) found = &module;
  }
  return found;
}

Machine::Machine() {
  modules_["ntdll"] = {"NtQuerySystemInformation",
                       "NtOpenThread",
                       "NtQueryInformationThread",
                       "RtlCreateQueryDebugBuffer",
                       "RtlQueryProcessDebugInformation",
                       "RtlDestroyQueryDebugBuffer",
                       "RtlNtStatusToDosError",
                       "NtQueryObject",
                       "NtQueryMutant",
                       "NtQueryInformationProcess"};
  modules_["kernel32"] = {"IsWow64Process", "K32EnumProcessModules", "Wow64GetThreadContext", "GetThreadDescription"};
  modules_["advapi32"] = {};
  modules_["imagehlp"] = {"SymGetLineFromAddr", "SymGetLineFromAddr64"};
  modules_["psapi"] = {"EnumProcessModulesEx"};
  modules_["version"] = {};
  loadable_["user32"] = {"IsWindow", "GetWindowThreadProcessId", "GetClassNameW", "EnumWindows", "SendMessageTimeoutW"};
}

bool Machine::LoadLibraryNamed(const std::string& module) {
  std::string key = ModuleKey(module);
  if (modules_.count(key) != 0) return true;
  auto it = loadable_.find(key);
  if (it == loadable_.end()) return false;
  modules_[key] = it->second;
  return true;
}

Process& Machine::AddProcess(DWORD pid, const std::u16string& name) {
  processes.push_back(Process{pid, name, true, {}, true, -1, {}, {}, false});
  return processes.back();
}

Process& Machine::AddUnnamedProcess(DWORD pid) {
  processes.push_back(Process{pid, u"", false, {}, true, -1, {}, {}, false});
  return processes.back();
}

Process* Machine::FindProcess(DWORD pid) {
  if (processesIndexed_ != processes.size()) {
    processIndex_.clear();
    for (size_t i = 0; i < processes.size(); ++i)
      processIndex_.insert(std::make_pair(processes[i].id, i));  // the first of an id counts
    processesIndexed_ = processes.size();
  }
  auto found = processIndex_.find(pid);
  return found != processIndex_.end() ? &processes[found->second] : nullptr;
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

void Machine::FailStatusFor(const std::string& op, uint64_t key, NTSTATUS status) {
  failRules_.push_back(FailRule{op, 0, true, key, 0, status});
}

void Machine::FaultFor(const std::string& op, uint64_t key) {
  failRules_.push_back(FailRule{op, 0, true, key, 0, STATUS_SUCCESS, true});
}

const FailRule* Machine::Enter(const char* op, uint64_t key, const std::string& args) {
  TakeControlTurn();
  int count = ++callCounts_[op];
  if (recordCalls_) books_.calls.push_back(CallRecord{op, args});
  auto raise = ctrlAtCall_.find(op);
  if (raise != ctrlAtCall_.end() && raise->second.first == count) RaiseCtrlEvent(raise->second.second);
  for (const FailRule& rule : failRules_) {
    if (rule.op != op) continue;
    if (rule.nth != 0 && rule.nth != count) continue;
    if (rule.keyed && rule.key != key) continue;
    if (rule.fault) RaiseFault();
    return &rule;
  }
  if (!failAllocationAfter.empty() && failAllocationAfter == op) allocationFailureArmed = true;
  return nullptr;
}

HANDLE Machine::NewThreadHandle(Thread* thread, Process* process, DWORD tid) {
  HANDLE handle = NewHandle("thread", std::to_string(tid), tid);
  handles_[handle].thread = thread;
  handles_[handle].process = process;
  return handle;
}

HANDLE Machine::NewHandle(const std::string& kind, const std::string& name, DWORD id) {
  HANDLE handle = (HANDLE)nextHandle_;
  nextHandle_ += 4;
  handles_[handle] = HandleEntry{kind, name, id};
  return handle;
}

std::vector<std::string> Machine::OpenFilePaths() const {
  std::vector<std::string> paths;
  for (const auto& entry : handles_) {
    if (entry.second.kind == "file") paths.push_back(entry.second.name);
  }
  return paths;
}

Process* Machine::ProcessOfHandle(HANDLE handle) {
  auto entry = handles_.find(handle);
  if (entry == handles_.end() || entry->second.kind != "process") return nullptr;
  if (entry->second.process == nullptr) entry->second.process = FindProcess(entry->second.id);
  return entry->second.process;
}

Thread* Machine::ThreadOfHandle(HANDLE handle) {
  auto entry = handles_.find(handle);
  if (entry == handles_.end() || entry->second.kind != "thread") return nullptr;
  for (auto p = processes.begin(); entry->second.thread == nullptr && p != processes.end(); ++p) {
    entry->second.thread = p->FindThread(entry->second.id);
  }
  return entry->second.thread;
}

Process* Machine::OwnerOfThreadHandle(HANDLE handle) {
  const Thread* thread = ThreadOfHandle(handle);
  if (thread == nullptr) return nullptr;
  HandleEntry& entry = handles_.find(handle)->second;
  for (auto p = processes.begin(); entry.process == nullptr && p != processes.end(); ++p) {
    if (p->FindThread(thread->id) == thread) entry.process = &*p;
  }
  return entry.process;
}

const Module* Machine::RegisteredModule(HANDLE process, uint64_t address) {
  auto session = symbolSessions.find(process);
  if (session == symbolSessions.end()) return nullptr;
  const std::map<uint64_t, SessionModule>& held = session->second.modules;
  // A session holds the files it loaded where they were registered.
  auto above = held.upper_bound(address);
  if (above == held.begin()) return nullptr;
  --above;
  if (address - above->first >= above->second.size) return nullptr;
  return above->second.module;
}

void Machine::ParseSymbolFile(const Module& module) {
  // The platform opens, reads and parses the module's symbol file now.
  Enter("SymbolFileLoad", module.base, Args("%s,0x%x,0x%x", module.path.c_str(), module.size, module.timeStamp));
  Enter("ReadFile", module.base, module.path);
}

void Machine::TouchModule(HANDLE process, uint64_t address) {
  const Module* module = RegisteredModule(process, address);
  auto pending = deferredSymbolLoads.find(process);
  if (module == nullptr || pending == deferredSymbolLoads.end() || pending->second.erase(module->base) == 0) return;
  ParseSymbolFile(*module);
}

const Symbol* Machine::SymbolAt(HANDLE process, uint64_t address) {
  TouchModule(process, address);
  const Module* module = RegisteredModule(process, address);
  if (module == nullptr) return nullptr;
  for (const Symbol& symbol : module->symbols) {
    if (symbol.address <= address && address < symbol.address + symbol.size) return &symbol;
  }
  return nullptr;
}

const Symbol* Machine::SymbolNamed(const std::string& decorated) const {
  if (symbolsByName_.empty()) {
    for (const Process& p : processes) {
      for (const Module& module : p.modules) {
        for (const Symbol& symbol : module.symbols) symbolsByName_.emplace(symbol.decorated, &symbol);
      }
    }
  }
  auto it = symbolsByName_.find(decorated);
  return it == symbolsByName_.end() ? nullptr : it->second;
}

const VersionResource* Machine::VersionOf(const std::string& path) const {
  auto it = versions_.find(path);
  return it == versions_.end() ? nullptr : &it->second;
}

int Machine::SuspendCount(DWORD tid) const {
  auto it = books_.suspendCounts.find(tid);
  return it == books_.suspendCounts.end() ? -1 : it->second;
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
  if (!keepsOutput && ctrlAfterOutput_.empty() && outputDelays_.empty()) return;
  output_ += text;
  for (auto it = outputDelays_.begin(); it != outputDelays_.end(); ++it) {
    if (output_.find(it->first) != std::string::npos) {
      performanceCounter += it->second;
      outputDelays_.erase(it);
      break;
    }
  }
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
void Machine::RaiseCtrlEvent(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    for (auto it = ctrlHandlers.rbegin(); it != ctrlHandlers.rend(); ++it) {
      if ((*it)(type)) return;
    }
    books_.endedByCtrlEvent = true;
    fflush(stdout);
    std::exit(0x3A);
  }
  ControlTurns* c = new ControlTurns();
  g_control = c;
  std::vector<PHANDLER_ROUTINE> handlers(ctrlHandlers.rbegin(), ctrlHandlers.rend());
  std::thread([c, handlers, type]() {
    t_onControlThread = true;
    {
      std::unique_lock<std::mutex> lock(c->mutex);
      c->changed.wait(lock, [c] { return c->handlerTurn; });
    }
    for (PHANDLER_ROUTINE handler : handlers) {
      if (handler(type)) break;
    }
    std::lock_guard<std::mutex> lock(c->mutex);
    c->finished = true;
    c->handlerTurn = false;
    c->changed.notify_all();
  }).detach();
  TakeControlTurn();
}

// Whatever the handlers return, the platform ends the process after a
// closing event, with STATUS_CONTROL_C_EXIT (unless the run is to go on).
void Machine::TakeControlTurn() {
  ControlTurns* c = g_control;
  if (c == nullptr) return;
  HandOver(c);
  if (!c->finished) return;
  books_.ctrlWaitMs = c->sleptMs;
  if (runsOnAfterClose) {
    g_control = nullptr;
    return;
  }
  books_.endedByCtrlEvent = true;
  fflush(stdout);
  std::exit(0x3A);
}

long Machine::CallTotal() const {
  long total = 0;
  for (const auto& c : callCounts_) total += c.second;
  return total;
}

long Machine::CallTotal(const std::string& op) const {
  auto it = callCounts_.find(op);
  return it == callCounts_.end() ? 0 : it->second;
}

int Machine::CallCount(const std::string& op) const {
  return (int)std::count_if(books_.calls.begin(), books_.calls.end(), [&](const CallRecord& c) { return c.op == op; });
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

namespace {

// Bytes of any value as hexadecimal digits, which no line break or tab splits.
std::string HexBytes(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::string BytesOfHex(const std::string& hex) {
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
  return bytes;
}

}  // namespace

std::string Machine::SerializeBooks() {
  std::ostringstream out;
  for (const CallRecord& c : books_.calls) out << "call\t" << Clean(c.op) << '\t' << Clean(c.args) << '\n';
  for (const auto& h : handles_) out << "handle\t" << Clean(h.second.kind + ":" + h.second.name) << '\n';
  for (const std::string& e : books_.signalledEvents) out << "signalled\t" << Clean(e) << '\n';
  for (const std::string& p : books_.enabledPrivileges) out << "privilege\t" << Clean(p) << '\n';
  for (const std::string& m : books_.misuses) out << "misuse\t" << Clean(m) << '\n';
  for (const Process& p : processes) {
    for (const Thread& t : p.threads) out << "suspend\t" << t.id << '\t' << t.suspendCount << '\n';
  }
  out << "allocations\t" << allocations.size() << '\n';
  out << "ctrlhandlers\t" << ctrlHandlers.size() << '\n';
  out << "symbolsessions\t" << symbolSessions.size() << '\n';
  out << "debugbuffers\t" << debugBuffers.size() << '\n';
  out << "zeroed\t" << (books_.firstSnapshotBufferZeroed ? 1 : 0) << '\n';
  out << "ctrlexit\t" << (books_.endedByCtrlEvent ? 1 : 0) << '\n';
  out << "ctrlwait\t" << books_.ctrlWaitMs << '\n';
  for (const auto& file : files) out << "file\t" << HexBytes(file.first) << '\t' << HexBytes(file.second) << '\n';
  return out.str();
}

void Machine::LoadBooks(const std::string& text) {
  books_ = Books();
  files.clear();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string key = line.substr(0, tab);
    std::string value = line.substr(tab + 1);
    if (key == "call") {
      size_t split = value.find('\t');
      books_.calls.push_back(
          CallRecord{value.substr(0, split), split == std::string::npos ? "" : value.substr(split + 1)});
    } else if (key == "handle") {
      books_.openHandles.push_back(value);
    } else if (key == "signalled") {
      books_.signalledEvents.push_back(value);
    } else if (key == "privilege") {
      books_.enabledPrivileges.push_back(value);
    } else if (key == "misuse") {
      books_.misuses.push_back(value);
    } else if (key == "suspend") {
      size_t split = value.find('\t');
      books_.suspendCounts[(DWORD)std::stoul(value.substr(0, split))] = std::atoi(value.substr(split + 1).c_str());
    } else if (key == "allocations") {
      books_.liveAllocations = std::atoi(value.c_str());
    } else if (key == "ctrlhandlers") {
      books_.ctrlHandlers = std::atoi(value.c_str());
    } else if (key == "symbolsessions") {
      books_.symbolSessions = std::atoi(value.c_str());
    } else if (key == "debugbuffers") {
      books_.debugBuffers = std::atoi(value.c_str());
    } else if (key == "zeroed") {
      books_.firstSnapshotBufferZeroed = value == "1";
    } else if (key == "ctrlexit") {
      books_.endedByCtrlEvent = value == "1";
    } else if (key == "ctrlwait") {
      books_.ctrlWaitMs = (unsigned)std::stoul(value);
    } else if (key == "file") {
      size_t split = value.find('\t');
      files[BytesOfHex(value.substr(0, split))] = BytesOfHex(value.substr(split + 1));
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

bool TakeAllocationFailure(size_t bytes) {
  if (g_active == nullptr || !g_active->allocationFailureArmed || g_active->failAllocationOf != bytes) return false;
  g_active->failAllocationOf = 0;
  return true;
}

bool SleepOnControlThread(DWORD milliseconds) {
  ControlTurns* c = g_control;
  if (!t_onControlThread || c == nullptr) return false;
  std::unique_lock<std::mutex> lock(c->mutex);
  c->sleptMs += milliseconds;
  c->handlerTurn = false;
  c->changed.notify_all();
  c->changed.wait(lock, [c] { return c->handlerTurn; });
  return true;
}

}  // namespace sim
