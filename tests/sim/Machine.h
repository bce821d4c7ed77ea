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

// One frame as StackWalk reports it: program counter and four argument words.
struct Frame {
  uint64_t pc;
  uint64_t params[4];
  uint64_t stackGap = 0;  // bytes its stack address lies further above the previous frame's than usual
};

// A thread's stack: the committed region below stackTop, and the bytes in use
// from the stack pointer up. Its bytes change each time the thread runs.
struct Stack {
  uint64_t top = 0;                // set when the thread is added: each thread has its own
  uint64_t committed = 0x10000;    // bytes of the committed region below top
  uint64_t depth = 0x1fc0;         // bytes from the stack pointer to top
  uint64_t reportedEnd = 0;        // not 0: the end of the region VirtualQueryEx reports instead
  uint64_t recordedBase = 0;       // not 0: the base the thread's environment block records instead of top
  uint64_t firstRecordedBase = 0;  // not 0: the base the first read of the block finds (another stack's)
  bool unreadable = false;         // ReadProcessMemory of the region fails
  // The page below the committed region is its guard page. A read of it from
  // another process spends it: the thread could no longer grow its stack.
  bool guardSpent = false;
  bool still = false;         // the thread waits: its bytes stay as they were however often it runs
  int runs = 0;               // times the thread ran again after a suspend
  int runsAtContextRead = 0;  // runs when its registers were last read
  // Pointer-sized words that keep their value however often the thread runs
  // (the frames of a thread that waits), by offset from the stack pointer.
  std::map<uint64_t, uint64_t> pinned;

  uint64_t Pointer() const { return top - depth; }
  // The thread's environment block lies a little above its stack; a thread
  // of a 32-bit process on 64-bit Windows has a 32-bit block after it.
  uint64_t EnvironmentBlock() const { return top + 0x8000; }
  uint64_t EnvironmentBlock32() const { return EnvironmentBlock() + 0x2000; }
  bool Holds(uint64_t address) const { return address < top && address >= top - committed; }
  uint64_t GuardStart() const { return top - committed - 0x1000; }
  bool GuardHolds(uint64_t address) const {
    return !guardSpent && address < top - committed && address >= GuardStart();
  }
};

struct Thread {
  DWORD id;
  std::vector<Frame> frames;
  int suspendCount = 0;      // above 0: another party holds it suspended
  bool exited = false;       // it has ended, but a handle to it keeps it, and it can be opened
  int suspendsBeforeEnd = -1;  // at least 0: it ends after this many suspends, and the next one fails
  int faultAtFrame = -1;     // StackWalk raises a fault when asked for this frame
  bool endless = false;      // StackWalk keeps reporting the last frame again
  unsigned blankFrames = 0;  // frames with program counter 0 after the listed ones
  DWORD takenBy = 0;         // not 0: since the snapshot the id names a thread of this process
  Stack stack;
  // Kernel and user time so far, in 100 ns units, in each snapshot taken in
  // turn; the last pair holds for later snapshots too.
  std::vector<std::pair<uint64_t, uint64_t>> times;
  int listedInSnapshots = -1;  // at least 0: only the first this many snapshots list it (it ended)
  // When it was created, as each snapshot in turn gives it (the last value
  // holds for later ones; a change means a new thread took over the id).
  std::vector<uint64_t> created;
  int firstListedInSnapshot = 0;  // snapshots taken before this one do not list it (it started later)
  // The frames the thread shows each time its registers are read, in turn,
  // replacing frames; the last ones hold for later reads.
  std::vector<std::vector<Frame>> samples;
  int samplesShown = 0;
  // A thread of a 32-bit process: its first this many reads of its 32-bit
  // registers catch it switching modes (its stack pointer off its stack).
  int unsteadyReads = 0;
  // The same, but the reads catch its program counter outside its code.
  int strayPcReads = 0;
  // Two of the registers its innermost routine keeps (Wine's 64-bit wait
  // for several handles: the count it was given, the program's array).
  uint64_t rdi = 0, r12 = 0;
  // The register Wine's 64-bit SendMessageTimeoutA keeps its window in
  // (SendMessageA keeps it in rdi).
  uint64_t rsi = 0;
  // A thread of a 32-bit process that runs only in the 64-bit layer: its
  // 32-bit environment block names no stack, its 32-bit registers are zeros.
  bool layerOnly = false;
  // The name it was given (empty: none); the name query hands out a copy
  // of it, which the caller frees.
  std::basic_string<WCHAR> description;

  bool ListedInSnapshot(int taken) const {
    return taken >= firstListedInSnapshot && (listedInSnapshots < 0 || taken < listedInSnapshots);
  }

  Thread& AddFrame(uint64_t pc, uint64_t p0 = 0, uint64_t p1 = 0, uint64_t p2 = 0, uint64_t p3 = 0);
  // A Windows wait block offset bytes above the stack pointer, linking back
  // to the block before (0: none); its address.
  uint64_t AddWaitBlock(uint64_t offset, uint64_t before);
};

// A waiter in one of Wine's address-wait queues: its entry lies offset
// bytes above its stack pointer and waits at address.
struct AddressWaiter {
  Thread* thread;
  uint64_t offset;
  uint64_t address;
};

struct SourceLine {
  uint64_t address;
  std::string file;
  DWORD number;
};

struct Symbol {
  uint64_t address;
  uint64_t size;
  std::string decorated;
  std::string undecorated;  // what UnDecorateSymbolName makes of it
  std::string nameOnly;     // what it makes of it when asked for the name alone, when not empty
  std::vector<SourceLine> lines;

  Symbol& AddLine(uint64_t at, const std::string& file, DWORD number);
};

struct Module {
  uint64_t base;
  DWORD size;
  std::string baseName;
  std::string path;
  std::deque<Symbol> symbols;
  std::string file = "";         // not empty: where its file lies, when not at path (a 32-bit system module)
  int listedFromCall = 1;        // EnumProcessModules lists it from its call with this number on (loaded later)
  int unloadedAtCall = 0;        // not 0: nor from its call with this number on (unloaded)
  DWORD timeStamp = 0x3A000000;  // its file header's, which its first bytes in memory carry

  // Whether it is loaded once EnumProcessModules has been called this many times.
  bool LoadedAfter(long listings) const {
    return (listedFromCall <= 1 || listedFromCall <= listings) && (unloadedAtCall == 0 || listings < unloadedAtCall);
  }

  Symbol& AddSymbol(uint64_t address, uint64_t size, const std::string& decorated, const std::string& undecorated = "");
};

// A version resource as a file carries it.
struct VersionResource {
  bool hasRoot = true;
  WORD fileVersion[4] = {0, 0, 0, 0};
  WORD productVersion[4] = {0, 0, 0, 0};
  std::vector<std::pair<std::string, std::string>> strings;  // sub-block -> text
  // What a damaged file or a careless version library hands back.
  DWORD reportedSize = 0;                      // GetFileVersionInfoSizeA's result, when not 0
  UINT rootLength = sizeof(VS_FIXEDFILEINFO);  // the length returned with the fixed record
  DWORD signature = 0xFEEF04BD;                // the fixed record's signature
  std::map<std::string, UINT> textLengths;     // sub-block -> the length returned with its text
  bool lastTextUnterminated = false;           // the block ends with the last text, without its terminator
  bool rootPastEnd = false;                    // the fixed record is handed out even where the block ends in it

  VersionResource& FileVersion(WORD a, WORD b, WORD c, WORD d);
  VersionResource& ProductVersion(WORD a, WORD b, WORD c, WORD d = 0);
  VersionResource& String(const std::string& subBlock, const std::string& text);
};

// One lock as the native layer lists it.
struct Lock {
  uint64_t address;
  WORD type;  // 0 critical section, 1 resource
  uint64_t owner;
  DWORD contention, entries, recursion, sharedWaiters, exclusiveWaiters;
};

// Bytes the process holds at an address in place of the simulated ones: a
// critical section, a debug record.
struct MemoryBlock {
  uint64_t address;
  std::vector<unsigned char> bytes;
  bool unreadable = false;
  int readsLeft = -1;                // above 0: after this many reads from its start the bytes become later
  std::vector<unsigned char> later;  // empty: the block is unreadable from then on
};

// One entry of a process's handle table: the object its value names, as
// the platform answers for it once the handle is duplicated.
struct TargetHandle {
  std::string type;        // as the platform names it: Event, Mutant, Semaphore, Timer, Thread, Process, File, Key...
  std::u16string name;     // the object's full name; empty when it has none
  DWORD id = 0;            // Thread and Process: the id of what it names
  DWORD process = 0;       // Thread: the id of its process
  bool ended = false;      // Thread and Process: it has ended
  DWORD holder = 0;        // Mutant: the thread that holds it, 0 when none
  bool abandoned = false;  // Mutant: its holder ended while holding it
  bool holderUnanswered = false;  // Mutant: the platform does not say its holder (as Wine 8)
};

// Where the simulated processes keep their environment block, and a 32-bit
// process on the 64-bit host its 32-bit one.
const uint64_t kProcessEnvironmentBlock = 0x7ffdf000;
const uint64_t kProcessEnvironmentBlock32 = 0x7efde000;

// A window: the thread that answers for it and that thread's process, its
// class, and how many more times it is asked about before it is destroyed
// (below 0: it stays). A destroyed window whose heir is set gives its handle
// to a new window of that thread.
struct Window {
  DWORD pid;
  DWORD tid;
  std::u16string className;
  int checksLeft = -1;
  DWORD heir = 0;
  // Its life on the clock (the performance counter's microseconds): the
  // top-level window list shows it from shownFrom until destroyedAt; its
  // thread answers each message in answerTakes until stopsPumpingAt, and
  // answers none from then on (the platform calls it hung 5 s later).
  uint64_t shownFrom = 0;
  uint64_t destroyedAt = UINT64_MAX;
  uint64_t answerTakes = 0;
  uint64_t stopsPumpingAt = UINT64_MAX;
  // When the last message-timeout send reached it (a probe), for the books:
  // UINT64_MAX before the first.
  uint64_t lastProbedAt = UINT64_MAX;
};

// From the clock's time from on (microseconds), a process uses percent of
// one processor, until the next span.
struct CpuSpan {
  uint64_t from;
  unsigned percent;
};

struct Process {
  DWORD id;
  std::u16string name;
  bool named;
  std::deque<Thread> threads;  // a deque keeps references stable as threads are added
  bool inSnapshot = true;      // false: it can be opened but has left the snapshot
  int listedInSnapshots = -1;  // at least 0: only the first this many snapshots list it (it ended)
  std::deque<Module> modules;  // in the order the platform lists them
  std::vector<Lock> locks;
  bool lockListMissing = false;  // the lock query succeeds but leaves no list
  // What a damaged native layer leaves instead of a list in its buffer.
  bool lockListOutside = false;   // the list lies in a block of its own
  size_t lockListAt = 0;          // the list's offset in the buffer, when past its fields; cut off at its end
  int64_t lockCountShown = -1;    // the count the list gives, when not -1
  int firstListedInSnapshot = 0;  // snapshots taken before this one do not list it (it started later)
  // When it was created, as each snapshot in turn gives it (the last value
  // holds for later ones, and is what the process itself gives; a change
  // means a new process took over the id). None: a time made from its id.
  std::vector<uint64_t> created = {};

  // Its processor time over the clock (none: it uses none), when it starts
  // (the process listing and OpenProcess know it from then on), and when it
  // ends (UINT64_MAX: never; the listing passes over it then, and its exit
  // code is 0).
  std::vector<CpuSpan> cpu = {};
  uint64_t startsAt = 0;
  uint64_t endsAt = UINT64_MAX;
  // From the clock's time replacedAt on, its id names a new process, made
  // then (a handle to it names that one too).
  uint64_t replacedAt = UINT64_MAX;
  // Its user time at the clock's time now, in 100 ns units.
  uint64_t UserTimeAt(uint64_t now) const;

  std::vector<MemoryBlock> memory = {};
  std::map<uint64_t, TargetHandle> handleTable = {};  // by handle value

  // Its width when not the tool's own: 32, a 32-bit process seen from the
  // 64-bit build (its main image names the i386 machine; its threads have
  // 32-bit registers and a 32-bit environment block; only the extended
  // module listing names its modules, the plain one its main image and
  // layerModules); 64, a 64-bit process seen from the 32-bit build (its
  // modules cannot be listed).
  int bits = 0;
  std::deque<Module> layerModules = {};  // the 64-bit modules of its 32-bit layer
  WORD machine = 0;                      // not 0: the machine its modules' headers name instead
  bool saysWow64 = false;                // IsWow64Process answers yes (Wine answers no)
  // Not 0: where its 32-bit environment block lies, with the loader's list
  // of its modules laid out after it (see AddLoaderData32).
  uint64_t environmentBlock32 = 0;

  // Lays out the 32-bit environment block at `at`, its loader data and an
  // entry for each module in order, each in a block of memory of its own;
  // returns the blocks' addresses in order: block, data, then the entries.
  std::vector<uint64_t> AddLoaderData32(uint64_t at);
  // The same for an environment block at `at` whose words have word bytes,
  // and for the process's own environment block (the one the native
  // layer's basic record names), in the tool's width. Without them the
  // environment blocks read as zeros: no loader data.
  std::vector<uint64_t> AddLoaderData(uint64_t at, size_t word);
  std::vector<uint64_t> AddLoaderData();

  uint64_t CreatedInSnapshot(int taken) const {
    if (created.empty()) return 0x01D0000000000000ull + id;
    return created[std::min<size_t>((size_t)(taken < 0 ? 0 : taken), created.size() - 1)];
  }

  Thread& AddThread(DWORD tid);
  Thread* FindThread(DWORD tid);
  // A critical section at address, laid out for the build's width (its lock
  // count, as the platform keeps it up to XP and Wine does, says one thread
  // waits), and a debug record at record that points at section.
  MemoryBlock& AddSection(uint64_t address, DWORD owner, int32_t recursion, uint64_t debugRecord = 0,
                          int32_t lockCount = 1);
  MemoryBlock& AddSectionDebugRecord(uint64_t record, uint64_t section);
  // A handle of the process to an object of type, named name.
  TargetHandle& AddHandle(uint64_t value, const std::string& type, const std::u16string& name = u"");
  // The loader lock: the section its environment block points at.
  MemoryBlock& SetLoaderLock(uint64_t section);
  // Wine's slim lock: a 16-bit count of exclusive waiters, then one of
  // holders (-1: held exclusively).
  MemoryBlock& AddWineSlimLock(uint64_t address, int16_t exclusiveWaiters, int16_t holders);
  // The C++ run-time's mutex in the process's width: its type word, its
  // slim lock in Wine's layout held exclusively, its holder's id (-1: none).
  MemoryBlock& AddCxxMutex(uint64_t address, uint32_t type, uint32_t holder);
  // A word of the process's width (Windows' slim lock or condition variable).
  MemoryBlock& AddWord(uint64_t address, uint64_t value);
  // One of Wine's address-wait queues: its head (two links) at head, and
  // each waiter's entry (two links, the address, its thread id) on its stack,
  // linked in order.
  void QueueAddressWaiters(uint64_t head, const std::vector<AddressWaiter>& waiters);
  Module& AddModule(uint64_t base, DWORD size, const std::string& baseName, const std::string& path);
  // The windows its threads made, by handle; a window may name another
  // process (pid), whose thread answers for it.
  std::map<uint64_t, Window> windows = {};
  Window& AddWindow(uint64_t handle, DWORD tid, const std::u16string& className, DWORD pid = 0) {
    return windows[handle] = Window{pid != 0 ? pid : id, tid, className};
  }
  // The module loaded at base now (or, before it is listed, the first there
  // that was never unloaded); null when none is.
  const Module* ModuleAt(uint64_t base) const;
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
  bool fault = false;  // the call raises an access violation instead
};

// A module as a symbol session holds it: its size and the module whose file
// it loaded (null when no process has that file at that base).
struct SessionModule {
  DWORD size;
  const Module* module;
};

// A symbol session of the image help library: its modules by base.
struct SymbolSession {
  std::map<uint64_t, SessionModule> modules;
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
  int debugBuffers = 0;  // debug-information buffers created and not destroyed
  std::vector<std::string> signalledEvents;
  std::vector<std::string> enabledPrivileges;
  std::vector<std::string> misuses;  // calls the platform would reject or that corrupt state
  std::map<DWORD, int> suspendCounts;
  bool firstSnapshotBufferZeroed = false;
  bool endedByCtrlEvent = false;
  unsigned ctrlWaitMs = 0;  // how long the handlers of a closing event slept
};

struct HandleEntry {
  std::string kind;  // process, thread, event, token
  std::string name;
  DWORD id;  // process or thread id
  // What the handle names, found at its first use: a machine of thousands
  // of processes is not searched again at every call.
  Process* process = nullptr;
  Thread* thread = nullptr;
  const TargetHandle* object = nullptr;  // a handle duplicated from a process's table: what it names
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
  // The snapshot as these bytes instead of the one the processes make; each
  // record's name pointer reached along the chain is read as an offset from
  // the start of the snapshot (0: no name) and handed out as an address in
  // the caller's buffer, wherever that lands.
  void SetRawSnapshot(const std::vector<unsigned char>& bytes) {
    rawSnapshot_ = bytes;
    rawSnapshotSet_ = true;
  }
  void SetMajorVersion(DWORD major) { majorVersion_ = major; }
  void SetComputerName(const std::string& name) { computerName_ = name; }
  void SetSelf(DWORD pid, DWORD tid) {
    selfPid_ = pid;
    selfTid_ = tid;
  }
  void SetClock(time_t now) { clock_ = now; }
  // The tool runs in the 32-bit layer of 64-bit Windows (the 32-bit build).
  bool toolInWow64 = false;
  std::string systemFolder = "C:\\WINDOWS\\system32";
  std::string system32BitFolder = "C:\\WINDOWS\\SysWOW64";
  // How often the modules have been listed, by either listing.
  long ModuleListings() const { return CallTotal("EnumProcessModules") + CallTotal("EnumProcessModulesEx"); }
  void AddEvent(const std::string& name) { events_.insert(name); }
  // The files the tool made, by path, with their bytes; a folder (its path
  // without the last '\\') in lockedFolders refuses new files; a path in
  // folders is a folder, which no file replaces; the disk holds diskRoom
  // bytes of files in all.
  std::map<std::string, std::string> files;
  std::set<std::string> lockedFolders;
  std::set<std::string> folders;
  size_t diskRoom = (size_t)-1;
  // Not 0: the close of a file fails with this code (the bytes the platform
  // still held could not be written), the handle closed all the same.
  DWORD fileCloseError = 0;
  // A library the tool may load (the user library): until it does, it is
  // not among the loaded modules.
  bool LoadLibraryNamed(const std::string& module);
  void RemoveModule(const std::string& module);
  void RemoveEntry(const std::string& module, const std::string& entry);
  void DenyPrivilege(const std::string& name) { deniedPrivileges_.insert(name); }
  void SetVersionResource(const std::string& path, const VersionResource& resource) { versions_[path] = resource; }
  void RemoveVersionResource(const std::string& path) { versions_.erase(path); }

  // --- Failures and console events ---
  void Fail(const std::string& op, DWORD lastError, int nth = 0);
  void FailStatus(const std::string& op, NTSTATUS status, int nth = 0);
  void FailFor(const std::string& op, uint64_t key, DWORD lastError);
  void FailStatusFor(const std::string& op, uint64_t key, NTSTATUS status);
  // The call of op whose key argument is key raises an access violation.
  void FaultFor(const std::string& op, uint64_t key);
  // The first allocation of bytes through the language's operator new
  // after a call of op fails (in the unit tests, whose operator new asks).
  void FailAllocationAfter(const std::string& op, size_t bytes) {
    failAllocationAfter = op;
    failAllocationOf = bytes;
  }
  void RaiseCtrlEventAfterOutput(const std::string& text) { ctrlAfterOutput_.push_back(text); }
  // Writing out the output that first holds text takes this long (a slow
  // reader of the console): the performance counter moves on by as much.
  void DelayAfterOutput(const std::string& text, uint64_t microseconds) {
    outputDelays_.push_back(std::make_pair(text, microseconds));
  }
  // Raises the control event at the nth call of op. The break keys' events
  // reach the handlers at once, on the program's own thread; closing the
  // console, logging off and shutting down reach them on a thread of the
  // platform's, which ends the process once they return.
  void RaiseCtrlEventAtCall(const std::string& op, int nth, DWORD type = CTRL_C_EVENT) {
    ctrlAtCall_[op] = std::make_pair(nth, type);
  }
  // After the handlers of a closing event return, the program runs on
  // instead of ending there (the platform ends it a moment later, and
  // whatever it does in that moment is what a test looks at).
  bool runsOnAfterClose = false;

  // Keeps each call's arguments in the books (on by default; a benchmark of
  // a large machine turns it off and counts only).
  void SetCallRecording(bool on) { recordCalls_ = on; }
  // Calls made so far in this process, whatever the recording: all of them,
  // or those of one operation.
  long CallTotal() const;
  long CallTotal(const std::string& op) const;

  // --- Books of the last run ---
  const Books& books() const { return books_; }
  int CallCount(const std::string& op) const;
  std::vector<std::string> CallArgs(const std::string& op) const;
  std::vector<std::string> CallSequence() const;
  int OpenHandleCount() const { return (int)books_.openHandles.size(); }
  int LiveAllocationCount() const { return books_.liveAllocations; }
  // The thread's suspend count when the run ended.
  int SuspendCount(DWORD tid) const;

  // --- The platform's side, used by the simulated operations ---
  // Counts and records a call; returns the failure that applies to it, if any.
  const FailRule* Enter(const char* op, uint64_t key, const std::string& args);
  HANDLE NewHandle(const std::string& kind, const std::string& name, DWORD id = 0);
  // The paths of the files open for writing.
  std::vector<std::string> OpenFilePaths() const;
  // A handle to thread, which has the id tid.
  HANDLE NewThreadHandle(Thread* thread, Process* process, DWORD tid);
  const HandleEntry* FindHandle(HANDLE handle) const;
  // A handle of the tool's to the object a process's handle names.
  HANDLE NewObjectHandle(const TargetHandle* object);
  bool ReleaseHandle(HANDLE handle);
  // A module's handle is its name as the machine keeps it; null when absent.
  HMODULE ModuleHandle(const std::string& module) const;
  bool HasEntry(const std::string& module, const std::string& entry) const;
  void NoteOutput(const std::string& text);
  void RaiseCtrlEvent(DWORD type = CTRL_C_EVENT);
  // While the handlers of a closing event run: their turn, and the end of
  // the process once they have returned.
  void TakeControlTurn();
  void NoteMisuse(const std::string& what) { books_.misuses.push_back(what); }

  DWORD lastError = 0;
  std::deque<Process> processes;
  std::vector<DWORD> processIds;
  bool processIdsSet = false;
  std::map<void*, size_t> allocations;
  std::vector<PHANDLER_ROUTINE> ctrlHandlers;
  std::map<HANDLE, SymbolSession> symbolSessions;  // by the handle or value it was opened on
  // The process last opened: the one whose files are on disk when a
  // session opened on a value that is no process handle loads a module.
  DWORD lastOpenedPid = 0;
  DWORD symbolOptions = 0;
  // Modules registered while deferred loads were on whose symbol file has not
  // been loaded yet; the first lookup or walk callback that touches one loads it.
  std::map<HANDLE, std::set<uint64_t>> deferredSymbolLoads;
  void TouchModule(HANDLE process, uint64_t address);
  // Books the parse of module's symbol file (its path, size and time stamp
  // name the file in SymbolFileLoad's arguments).
  void ParseSymbolFile(const Module& module);
  // Everything the active machine knows about one address in a process.
  Process* ProcessOfHandle(HANDLE handle);
  Thread* ThreadOfHandle(HANDLE handle);
  // The process of the thread a thread handle names, found with it.
  Process* OwnerOfThreadHandle(HANDLE handle);
  const Module* RegisteredModule(HANDLE process, uint64_t address);
  const Symbol* SymbolAt(HANDLE process, uint64_t address);
  const Symbol* SymbolNamed(const std::string& decorated) const;
  const VersionResource* VersionOf(const std::string& path) const;
  const VersionResource* versionInHand = nullptr;  // the resource GetFileVersionInfoA filled in last
  int snapshotQueries = 0;
  int snapshotsTaken = 0;               // queries that filled their buffer
  uint64_t performanceCounter = 0;      // microseconds; Sleep moves it on
  uint64_t performanceCounterStep = 0;  // and each reading of it by this much
  // Its reading with this number (from 1) is set back by this much first.
  long clockSetBackAtRead = 0;
  uint64_t clockSetBackBy = 0;
  // See FailAllocationAfter.
  size_t failAllocationOf = 0;
  std::string failAllocationAfter;
  bool allocationFailureArmed = false;
  // A library that cuts a name to the room it is given leaves it without a
  // terminator (module names from the process status library, symbol names
  // and undecorated names from the image help library).
  bool cutNamesUnterminated = false;
  bool outputUnflushed = false;  // printed output not yet written out with fflush
  bool keepsOutput = false;      // output() holds everything printed, for a run in this process
  const std::string& output() const { return output_; }
  std::map<void*, std::string> debugBuffers;  // buffer -> the lock list a query left in it
  // Debug buffers are plain blocks without a view (size 0), and a query puts
  // its list in a block of its own, as Wine's native layer does.
  bool debugBuffersWithoutView = false;

  size_t snapshotSize() const { return snapshotSize_; }
  const std::vector<unsigned char>* rawSnapshot() const { return rawSnapshotSet_ ? &rawSnapshot_ : nullptr; }
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
  std::vector<unsigned char> rawSnapshot_;
  bool rawSnapshotSet_ = false;
  DWORD majorVersion_ = 5;
  std::string computerName_ = "BUILDHOST";
  DWORD selfPid_ = 4000;
  DWORD selfTid_ = 4004;
  time_t clock_ = 1000000000;  // Sun Sep  9 01:46:40 2001 UTC
  std::set<std::string> events_;
  std::set<std::string> deniedPrivileges_;
  std::map<std::string, VersionResource> versions_;
  std::map<std::string, std::set<std::string>> modules_;  // lower-case name without ".dll" -> entries
  std::map<std::string, std::set<std::string>> loadable_;  // libraries not loaded until asked for
  std::vector<FailRule> failRules_;
  std::map<std::string, int> callCounts_;
  std::vector<std::string> ctrlAfterOutput_;
  std::vector<std::pair<std::string, uint64_t>> outputDelays_;
  std::map<std::string, std::pair<int, DWORD>> ctrlAtCall_;
  std::string output_;
  std::map<HANDLE, HandleEntry> handles_;
  // Positions of processes by id, made again whenever processes have been
  // added (positions, so that a copy of the machine can use them too).
  std::map<DWORD, size_t> processIndex_;
  size_t processesIndexed_ = 0;
  uintptr_t nextHandle_ = 0x100;
  bool recordCalls_ = true;
  // Decorated name -> symbol, made at the first lookup of a run (the machine
  // does not change while a tool runs on it).
  mutable std::map<std::string, const Symbol*> symbolsByName_;
  Books books_;
};

// What exit() throws while a run inside the test process is under way.
struct ExitRequest {
  int status;
};
extern bool g_exitReturns;

// A handler of a closing event that sleeps hands the turn to the program
// until its next platform call. False, doing nothing, on any other thread.
bool SleepOnControlThread(DWORD milliseconds);

// Puts the zeros of the environment blocks' pages, the process's memory
// blocks and its threads' pinned stack words over the bytes of a read of
// [at, at + size) into out, and counts the read of
// each block it starts at. False when it touches an unreadable block.
bool OverlayMemory(Process& p, uint64_t at, size_t size, unsigned char* out);

// The machine the simulated operations act on (the one a run was started with).
Machine& ActiveMachine();
void SetActiveMachine(Machine* machine);
// True, once, when the active machine is to fail an allocation of bytes.
bool TakeAllocationFailure(size_t bytes);

}  // namespace sim

#endif
