// The simulated thread operations and the stack walk: opening threads by id,
// suspend counts, registers, frames, and faults raised inside the walk.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Machine.h"
#include "PlatformCalls.h"
#include "excpt.h"

using namespace sim;

namespace {

const DWORD kSuspendFailed = 0xFFFFFFFF;
const DWORD kThreadAllAccess = 0x1F03FF;

#if defined(_WIN64)
const DWORD kMachineType = IMAGE_FILE_MACHINE_AMD64;
#else
const DWORD kMachineType = IMAGE_FILE_MACHINE_I386;
#endif

// Synthetic frame and stack addresses on the thread's own stack: one step of
// the walk moves both.
uint64_t FrameAddress(const Thread& t, size_t step) { return t.stack.Pointer() + 0x100 + step * 0x40; }
uint64_t StackAddress(const Thread& t, size_t step) {
  uint64_t gaps = 0;
  for (size_t i = 1; i <= step && i < t.frames.size(); ++i) gaps += t.frames[i].stackGap;
  return t.stack.Pointer() + step * 0x40 + gaps;
}

DWORD ThreadIdOf(HANDLE thread) {
  const HandleEntry* entry = ActiveMachine().FindHandle(thread);
  return entry != nullptr ? entry->id : 0;
}

#if defined(_WIN64)
int g_openFaultScopes = 0;
#else
TEB g_teb = {{reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(-1), nullptr, nullptr}};

EXCEPTION_REGISTRATION_RECORD* EndOfChain() { return reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(-1); }
#endif

// An access violation that nothing handles ends the process at once: no
// exit routines run and no output buffer is written out.
[[noreturn]] void EndByUnhandledFault() {
  std::fprintf(stderr, "simulated platform: an access violation found no handler\n");
  std::abort();
}

}  // namespace

namespace sim {

#if defined(_WIN64)
FaultScope::FaultScope() { ++g_openFaultScopes; }
FaultScope::~FaultScope() { --g_openFaultScopes; }
#endif

// Raises an access violation the way the platform delivers it to the
// caller's guard.
[[noreturn]] void RaiseFault() {
#if defined(_WIN64)
  if (g_openFaultScopes == 0) EndByUnhandledFault();
  throw SimFault();
#else
  EXCEPTION_RECORD record;
  std::memset(&record, 0, sizeof(record));
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  for (EXCEPTION_REGISTRATION_RECORD* r = g_teb.NtTib.ExceptionList; r != EndOfChain(); r = r->Next) {
    if (r->Handler(&record, r, &context, nullptr) == ExceptionContinueExecution) break;
  }
  EndByUnhandledFault();
#endif
}

}  // namespace sim

namespace {

// What the simulated process holds at an address: every byte is known. A
// thread's stack bytes change each time the thread runs.
BYTE MemoryAt(uint64_t address) { return (BYTE)(address * 7 + (address >> 12)); }
BYTE StackByteAt(uint64_t address, int runs) { return (BYTE)(MemoryAt(address) + runs * 31); }

const Stack* StackHolding(const Process& p, uint64_t address) {
  for (const Thread& t : p.threads) {
    if (t.stack.Holds(address)) return &t.stack;
  }
  return nullptr;
}

// The lowest address above address where a stack region starts; the end of
// the address space when none does.
uint64_t NextStackAbove(const Process& p, uint64_t address) {
  uint64_t next = UINT64_MAX;
  for (const Thread& t : p.threads) {
    uint64_t start = t.stack.top - t.stack.committed;
    if (start > address && start < next) next = start;
  }
  return next;
}

// The thread information block at the start of each thread's environment
// block: exception list, stack base, stack limit, a pointer-sized word each
// (a 32-bit thread's 32-bit block has words of 4 bytes, and names its
// process's 32-bit environment block in its thirteenth).
const uint64_t kTibWords = 3;
const uint64_t kTib32Words = 13;
const uint64_t kPointerSize = sizeof(void*);

// The stack a 32-bit thread's 64-bit block names: its layer's own, which no
// frame of the program lies on.
uint64_t LayerStackOf(const Thread& t) { return 0x7ff00000000ull + (uint64_t)t.id * 0x100000; }

// The byte at address when it lies in the information block of a thread of
// the process.
bool TibByteAt(const Process& p, const std::vector<const Thread*>& threads, uint64_t address, BYTE* byte) {
  for (const Thread* t : threads) {
    uint64_t block = t->stack.EnvironmentBlock();
    uint64_t wordSize = kPointerSize;
    bool layers = p.bits == 32 && kPointerSize == 8;
    if (layers && address >= t->stack.EnvironmentBlock32()) {
      block = t->stack.EnvironmentBlock32();
      wordSize = 4;
    }
    uint64_t words = wordSize == kPointerSize ? kTibWords : kTib32Words;
    if (address < block || address >= block + words * wordSize) continue;
    uint64_t word = (address - block) / wordSize;
    uint64_t base = t->stack.recordedBase != 0 ? t->stack.recordedBase : t->stack.top;
    if (t->stack.firstRecordedBase != 0) base = t->stack.firstRecordedBase;
    uint64_t limit = t->stack.top - t->stack.committed;
    if (layers && wordSize == kPointerSize) base = limit = LayerStackOf(*t);
    uint64_t value = word == 1 ? base : word == 2 ? limit : word == 12 ? kProcessEnvironmentBlock32 : 0;
    if (wordSize == 4 && layers && t->layerOnly) value = 0;
    *byte = (BYTE)(value >> (8 * ((address - block) % wordSize)));
    return true;
  }
  return false;
}

bool TouchesTib(uint64_t block, uint64_t bytes, uint64_t at, uint64_t size) {
  return block < at + size && at < block + bytes;
}

// The threads whose information block a read of [at, at + size) touches.
std::vector<const Thread*> TibsTouched(const Process& p, uint64_t at, uint64_t size) {
  std::vector<const Thread*> touched;
  for (const Thread& t : p.threads) {
    if (TouchesTib(t.stack.EnvironmentBlock(), kTibWords * kPointerSize, at, size) ||
        (p.bits == 32 && TouchesTib(t.stack.EnvironmentBlock32(), kTib32Words * 4, at, size))) {
      touched.push_back(&t);
    }
  }
  return touched;
}

enum StackRead { kNoRoutine, kReadRight, kReadFailed, kReadWrong };

// Reads a few words around the frame, across a page boundary, through the
// walk's read-memory routine, as the platform's walk reads the stack. Right
// bytes are those of the moment the thread's registers were read.
template <typename ReadRoutine, typename Address>
StackRead ReadStack(ReadRoutine read, HANDLE process, const Thread* t, size_t step) {
  if (read == nullptr) return kNoRoutine;
  if (t == nullptr) return kReadRight;
  Address at = (Address)(StackAddress(*t, step) + 0xff8);
  BYTE bytes[24];
  DWORD got = 0;
  if (!read(process, at, bytes, sizeof(bytes), &got)) return kReadFailed;
  if (got != sizeof(bytes)) return kReadWrong;
  for (size_t i = 0; i < sizeof(bytes); ++i) {
    BYTE expected = t->stack.Holds(at + i) ? StackByteAt(at + i, t->stack.runsAtContextRead) : MemoryAt(at + i);
    if (bytes[i] != expected) return kReadWrong;
  }
  return kReadRight;
}

template <typename FrameRecord>
void FillFrame(const Thread& t, size_t step, FrameRecord* frame) {
  const Frame& f = step < t.frames.size() ? t.frames[step] : Frame{0, {0, 0, 0, 0}};
  frame->AddrPC.Offset = f.pc;
  frame->AddrFrame.Offset = FrameAddress(t, step);
  frame->AddrStack.Offset = StackAddress(t, step);
  for (int i = 0; i < 4; ++i) frame->Params[i] = f.params[i];
}

template <typename FrameRecord, typename Address>
bool IsFirstStepPrepared(const FrameRecord* frame, Address pc, Address fp, Address sp) {
  return frame->AddrPC.Offset == pc && frame->AddrFrame.Offset == fp && frame->AddrStack.Offset == sp &&
         frame->AddrPC.Mode == AddrModeFlat && frame->AddrFrame.Mode == AddrModeFlat &&
         frame->AddrStack.Mode == AddrModeFlat && frame->Params[0] == 0 && frame->Reserved[0] == 0;
}

// One step of the walk; the step count lives in the frame record, as the
// platform keeps its own state there. It may run after the thread runs again:
// it needs only the registers it is given and the stack bytes of that moment.
template <typename FrameRecord, typename Callbacks>
BOOL Step(const char* op, DWORD machine, HANDLE process, HANDLE thread, FrameRecord* frame, CONTEXT* context,
          const Callbacks& callbacks, StackRead stackRead) {
  Machine& m = ActiveMachine();
  Thread* t = m.ThreadOfHandle(thread);
  size_t step = (size_t)frame->Reserved[0];
  if (m.Enter(op, ThreadIdOf(thread), Args("0x%x,%zu", machine, step)) != nullptr) return FALSE;
  // A session of no process may come with routines of the caller's own,
  // which stand between the walk and the platform's.
  bool ownRoutines = m.ProcessOfHandle(process) == nullptr;
  const Process* owner = m.OwnerOfThreadHandle(thread);
  bool thirtyTwo = owner != nullptr && owner->bits == 32;
  DWORD expected = thirtyTwo ? IMAGE_FILE_MACHINE_I386 : kMachineType;
  if (machine != expected || !callbacks.AsExpected(ownRoutines) || m.symbolSessions.count(process) == 0 ||
      t == nullptr) {
    m.NoteMisuse(std::string(op) + " called with the wrong machine, routines, process or thread");
    return FALSE;
  }
  if (stackRead == kReadWrong) m.NoteMisuse(std::string(op) + "'s read-memory routine gave wrong bytes");
  if (stackRead == kReadFailed) return FALSE;  // the stack cannot be read: no further frame
#if defined(_WIN64)
  const WOW64_CONTEXT* context32 = (const WOW64_CONTEXT*)context;
  bool prepared = thirtyTwo ? IsFirstStepPrepared(frame, (DWORD64)context32->Eip, (DWORD64)context32->Ebp,
                                                  (DWORD64)context32->Esp)
                            : IsFirstStepPrepared(frame, context->Rip, context->Rbp, context->Rsp);
#else
  bool prepared = IsFirstStepPrepared(frame, context->Eip, context->Ebp, context->Esp);
#endif
  if (step == 0 && !prepared) m.NoteMisuse(std::string(op) + " with a frame record not set from the context");
  if ((int)step == t->faultAtFrame) RaiseFault();
  size_t total = t->frames.size() + t->blankFrames;
  if (step >= total) {
    if (!t->endless || total == 0) return FALSE;
    step = total - 1;  // the same frame again, at the same addresses
  }
  FillFrame(*t, step, frame);
#if defined(_WIN64)
  // Unwinding a frame puts its caller's saved registers into the record.
  if (!thirtyTwo && step > 0) context->Rdi = context->Rsi = context->R12 = 0;
#endif
  // The platform finds how to unwind the frame, and its module, through the
  // routines it is given.
  callbacks.Touch(process, frame->AddrPC.Offset);
  frame->Reserved[0] = step + 1;
  return TRUE;
}

template <typename FunctionTable, typename ModuleBase, typename Translate>
struct WalkCallbacks {
  FunctionTable functionTable;
  ModuleBase moduleBase;
  Translate translate;
  FunctionTable expectedFunctionTable;
  ModuleBase expectedModuleBase;

  bool AsExpected(bool ownRoutines) const {
    if (ownRoutines && functionTable != nullptr && moduleBase != nullptr && translate == nullptr) return true;
    return functionTable == expectedFunctionTable && moduleBase == expectedModuleBase && translate == nullptr;
  }
  template <typename Address>
  void Touch(HANDLE process, Address pc) const {
    functionTable(process, pc);
    moduleBase(process, pc);
  }
};

template <typename FunctionTable, typename ModuleBase, typename Translate>
WalkCallbacks<FunctionTable, ModuleBase, Translate> Callbacks(FunctionTable functionTable, ModuleBase moduleBase,
                                                              Translate translate, FunctionTable expectedTable,
                                                              ModuleBase expectedBase) {
  return WalkCallbacks<FunctionTable, ModuleBase, Translate>{functionTable, moduleBase, translate, expectedTable,
                                                             expectedBase};
}

}  // namespace

namespace sim {

NTSTATUS SimNtOpenThread(PHANDLE thread, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, CLIENT_ID* client) {
  Machine& m = ActiveMachine();
  DWORD tid = client != nullptr ? (DWORD)(uintptr_t)client->UniqueThread : 0;
  DWORD pid = client != nullptr ? (DWORD)(uintptr_t)client->UniqueProcess : 0;
  if (const FailRule* f = m.Enter("NtOpenThread", tid, Args("0x%x,%u,%u", access, pid, tid))) return f->status;
  bool wellFormed = attributes != nullptr && attributes->Length == sizeof(OBJECT_ATTRIBUTES) &&
                    attributes->RootDirectory == nullptr && attributes->ObjectName == nullptr &&
                    attributes->Attributes == 0 && pid != 0;
  if (!wellFormed || access != kThreadAllAccess) m.NoteMisuse("NtOpenThread with unexpected arguments");
  // The named process is searched first: a machine of thousands of
  // processes is not searched whole for every thread.
  Process* named = m.FindProcess(pid);
  if (named != nullptr && named->FindThread(tid) != nullptr && named->FindThread(tid)->takenBy == 0) {
    *thread = m.NewThreadHandle(named->FindThread(tid), named, tid);
    return STATUS_SUCCESS;
  }
  for (Process& p : m.processes) {
    Thread* t = p.FindThread(tid);
    if (t == nullptr) continue;
    // Given a process as well, the platform opens the thread only if it is that process's.
    DWORD owner = t->takenBy != 0 ? t->takenBy : p.id;
    if (pid != 0 && pid != owner) return STATUS_INVALID_CID;
    *thread = m.NewThreadHandle(t, &p, tid);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_CID;
}

// The basic record of a thread as the native layer lays it out; only the
// environment block's address is filled in.
struct SimThreadBasics {
  LONG exitStatus;
  PVOID environmentBlock;
  CLIENT_ID clientId;
  ULONG_PTR affinity;
  LONG priority;
  LONG basePriority;
};

NTSTATUS SimNtQueryInformationThread(HANDLE thread, ULONG infoClass, PVOID info, ULONG length, PULONG returned) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("NtQueryInformationThread", ThreadIdOf(thread), Args("%u,%u", infoClass, length))) {
    return f->status != STATUS_SUCCESS ? f->status : STATUS_ACCESS_DENIED;
  }
  ThreadBasicsAnswer duplicated;
  bool fromTable = AnswerForDuplicatedThread(thread, &duplicated);
  Thread* t = m.ThreadOfHandle(thread);
  if (t == nullptr && !fromTable) return STATUS_INVALID_CID;
  if (infoClass != 0) return STATUS_INVALID_INFO_CLASS;
  if (length != sizeof(SimThreadBasics)) return STATUS_INFO_LENGTH_MISMATCH;
  SimThreadBasics basics;
  std::memset(&basics, 0, sizeof(basics));
  if (t != nullptr) basics.environmentBlock = (PVOID)(uintptr_t)t->stack.EnvironmentBlock();
  basics.exitStatus = fromTable ? duplicated.exitStatus : (LONG)STILL_ACTIVE;
  basics.clientId.UniqueProcess = (HANDLE)(uintptr_t)(fromTable ? duplicated.pid : 0);
  basics.clientId.UniqueThread = (HANDLE)(uintptr_t)(fromTable ? duplicated.tid : t->id);
  std::memcpy(info, &basics, sizeof(basics));
  if (returned != nullptr) *returned = sizeof(basics);
  return STATUS_SUCCESS;
}

}  // namespace sim

BOOL ReadProcessMemory(HANDLE process, LPCVOID address, LPVOID buffer, SIZE_T size, SIZE_T* read) {
  Machine& m = ActiveMachine();
  uint64_t at = (uint64_t)(uintptr_t)address;
  if (read != nullptr) *read = 0;
  if (const FailRule* f = m.Enter("ReadProcessMemory", at, Args("0x%llx,%zu", (unsigned long long)at, size))) {
    return FailWith(f, FALSE);
  }
  Process* p = m.ProcessOfHandle(process);
  if (p == nullptr) return FailWithError(ERROR_INVALID_HANDLE, FALSE);
  for (Thread& t : p->threads) {
    uint64_t guard = t.stack.GuardStart();
    if (t.stack.guardSpent || at >= guard + 0x1000 || at + size <= guard) continue;
    t.stack.guardSpent = true;
    m.NoteMisuse(Args("ReadProcessMemory spent the guard page of thread %u's stack", t.id));
    return FailWithError(ERROR_PARTIAL_COPY, FALSE);
  }
  std::vector<const Thread*> tibs = TibsTouched(*p, at, size);
  for (SIZE_T i = 0; i < size;) {
    // The run of bytes up to the next edge of a stack region is all stack or
    // all other memory.
    uint64_t byte = at + i;
    const Stack* stack = StackHolding(*p, byte);
    if (stack != nullptr && stack->unreadable) return FailWithError(ERROR_PARTIAL_COPY, FALSE);
    uint64_t edge = stack != nullptr ? stack->top : NextStackAbove(*p, byte);
    SIZE_T run = (SIZE_T)std::min<uint64_t>(size - i, edge - byte);
    for (SIZE_T k = 0; k < run; ++k, ++i) {
      BYTE* out = (BYTE*)buffer + i;
      if (stack != nullptr) {
        *out = StackByteAt(at + i, stack->runs);
      } else if (tibs.empty() || !TibByteAt(*p, tibs, at + i, out)) {
        *out = MemoryAt(at + i);
      }
    }
  }
  if (!OverlayMemory(*p, at, size, (unsigned char*)buffer)) return FailWithError(ERROR_PARTIAL_COPY, FALSE);
  // The thread has moved to its own stack once its block has been read.
  for (const Thread* t : tibs) const_cast<Thread*>(t)->stack.firstRecordedBase = 0;
  if (read != nullptr) *read = size;
  return TRUE;
}

SIZE_T VirtualQueryEx(HANDLE process, LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length) {
  Machine& m = ActiveMachine();
  uint64_t at = (uint64_t)(uintptr_t)address;
  if (const FailRule* f = m.Enter("VirtualQueryEx", at, Args("0x%llx,%zu", (unsigned long long)at, length))) {
    return FailWith(f, (SIZE_T)0);
  }
  Process* p = m.ProcessOfHandle(process);
  if (p == nullptr) return FailWithError(ERROR_INVALID_HANDLE, (SIZE_T)0);
  if (length < sizeof(*info)) return FailWithError(ERROR_BAD_LENGTH, (SIZE_T)0);
  std::memset(info, 0, sizeof(*info));
  const Stack* stack = StackHolding(*p, at);
  const uint64_t kPage = 0x1000;
  uint64_t base = at & ~(kPage - 1);
  uint64_t end = base + kPage;
  info->State = MEM_FREE;
  info->Protect = PAGE_NOACCESS;
  if (stack != nullptr) {
    base = stack->top - stack->committed;
    end = stack->reportedEnd != 0 ? stack->reportedEnd : stack->top;
    info->State = MEM_COMMIT;
    info->Protect = PAGE_READWRITE;
    info->Type = MEM_PRIVATE;
  }
  for (const Thread& t : p->threads) {
    if (!t.stack.GuardHolds(at)) continue;
    base = t.stack.GuardStart();
    end = base + kPage;
    info->State = MEM_COMMIT;
    info->Protect = PAGE_READWRITE | PAGE_GUARD;
    info->Type = MEM_PRIVATE;
  }
  // A block of the process's memory (a section, a record) lies in pages of
  // committed data.
  for (const MemoryBlock& block : p->memory) {
    if (block.address <= at && at - block.address < block.bytes.size()) {
      base = block.address & ~(kPage - 1);
      end = (block.address + block.bytes.size() + kPage - 1) & ~(kPage - 1);
      info->State = MEM_COMMIT;
      info->Protect = PAGE_READWRITE;
      info->Type = MEM_PRIVATE;
    }
  }
  for (const Module& module : p->modules) {
    if (module.base <= at && at < module.base + module.size) {
      base = module.base;
      end = module.base + module.size;
      info->State = MEM_COMMIT;
      info->Protect = PAGE_EXECUTE_READ;
      info->Type = MEM_IMAGE;
    }
  }
  info->BaseAddress = (PVOID)(uintptr_t)base;
  info->AllocationBase = info->BaseAddress;
  info->RegionSize = (SIZE_T)(end - base);
  return sizeof(*info);
}

DWORD SuspendThread(HANDLE thread) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("SuspendThread", ThreadIdOf(thread), Args("%u", ThreadIdOf(thread)))) {
    return FailWith(f, kSuspendFailed);
  }
  Thread* t = m.ThreadOfHandle(thread);
  if (t == nullptr) return FailWithError(ERROR_INVALID_HANDLE, kSuspendFailed);
  if (t->suspendsBeforeEnd == 0) t->exited = true;
  if (t->exited) return FailWithError(ERROR_ACCESS_DENIED, kSuspendFailed);  // a thread that has ended
  if (t->suspendsBeforeEnd > 0) --t->suspendsBeforeEnd;
  Process* self = m.FindProcess(m.selfPid());
  if (t->id == m.selfTid() || (self != nullptr && self->FindThread(t->id) == t)) {
    m.NoteMisuse("the tool suspended a thread of its own process");
  }
  return (DWORD)t->suspendCount++;
}

DWORD ResumeThread(HANDLE thread) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("ResumeThread", ThreadIdOf(thread), Args("%u", ThreadIdOf(thread)))) {
    return FailWith(f, kSuspendFailed);
  }
  Thread* t = m.ThreadOfHandle(thread);
  if (t == nullptr) return FailWithError(ERROR_INVALID_HANDLE, kSuspendFailed);
  if (t->suspendCount == 0) return 0;
  if (t->suspendCount == 1 && !t->stack.still) ++t->stack.runs;  // it runs again, and its stack changes
  return (DWORD)t->suspendCount--;
}

BOOL GetThreadContext(HANDLE thread, LPCONTEXT context) {
  Thread* t = EnterContextRead("GetThreadContext", thread, context->ContextFlags);
  if (t == nullptr) return FALSE;
  uint64_t pc = 0, fp = 0, sp = 0;
  ReadRegisters(t, &pc, &fp, &sp);
  // Wine gives a 32-bit thread's registers here too.
#if defined(_WIN64)
  context->Rip = pc;
  context->Rbp = fp;
  context->Rsp = sp;
  context->Rdi = t->rdi;
  context->R12 = t->r12;
  context->Rsi = t->rsi;
#else
  context->Eip = (DWORD)pc;
  context->Ebp = (DWORD)fp;
  context->Esp = (DWORD)sp;
#endif
  return TRUE;
}

namespace sim {

LONG SimGetThreadDescription(HANDLE thread, PWSTR* description) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter("GetThreadDescription", ThreadIdOf(thread), "")) {
    return FailWith(f, (LONG)0x80070005);  // E_ACCESSDENIED
  }
  Thread* t = m.ThreadOfHandle(thread);
  if (t == nullptr) return FailWithError(ERROR_INVALID_HANDLE, (LONG)0x80070006);  // E_HANDLE
  // The platform hands out an empty name, never none, for a thread without
  // one.
  WCHAR* copy = static_cast<WCHAR*>(LocalAlloc(0, (t->description.size() + 1) * sizeof(WCHAR)));
  std::copy(t->description.begin(), t->description.end(), copy);
  copy[t->description.size()] = 0;
  *description = copy;
  return 0;
}

Thread* EnterContextRead(const char* op, HANDLE thread, DWORD flags) {
  Machine& m = ActiveMachine();
  if (const FailRule* f = m.Enter(op, ThreadIdOf(thread), Args("0x%x", flags))) return FailWith(f, (Thread*)nullptr);
  Thread* t = m.ThreadOfHandle(thread);
  if (t == nullptr) return FailWithError(ERROR_INVALID_HANDLE, (Thread*)nullptr);
  return t;
}

void ReadRegisters(Thread* t, uint64_t* pc, uint64_t* fp, uint64_t* sp) {
  Machine& m = ActiveMachine();
  if (t->suspendCount == 0) m.NoteMisuse("GetThreadContext of a running thread");
  t->stack.runsAtContextRead = t->stack.runs;
  if (!t->samples.empty()) {
    t->frames = t->samples[std::min<size_t>((size_t)t->samplesShown, t->samples.size() - 1)];
    ++t->samplesShown;
  }
  *pc = t->frames.empty() ? 0 : t->frames[0].pc;
  *fp = FrameAddress(*t, 0);
  *sp = StackAddress(*t, 0);
}

#if defined(_WIN64)
BOOL SimWow64GetThreadContext(HANDLE thread, PWOW64_CONTEXT context) {
  Thread* t = EnterContextRead("Wow64GetThreadContext", thread, context->ContextFlags);
  if (t == nullptr) return FALSE;
  const Process* owner = ActiveMachine().OwnerOfThreadHandle(thread);
  if (owner == nullptr || owner->bits != 32) ActiveMachine().NoteMisuse("Wow64GetThreadContext of a thread of a 64-bit process");
  uint64_t pc = 0, fp = 0, sp = 0;
  ReadRegisters(t, &pc, &fp, &sp);
  context->Eip = (DWORD)pc;
  context->Ebp = (DWORD)fp;
  context->Esp = (DWORD)sp;
  if (t->layerOnly) context->Eip = context->Ebp = context->Esp = 0;
  if (t->strayPcReads > 0) {
    --t->strayPcReads;
    context->Eip = 0x1000;  // read while the thread switched modes: outside its code
  }
  if (t->unsteadyReads > 0) {
    --t->unsteadyReads;
    context->Esp = 0x1000;  // read while the thread switched modes: off its stack
  }
  return TRUE;
}
#endif

}  // namespace sim

BOOL StackWalk(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME frame, PVOID context,
               PREAD_PROCESS_MEMORY_ROUTINE readMemory, PFUNCTION_TABLE_ACCESS_ROUTINE functionTable,
               PGET_MODULE_BASE_ROUTINE moduleBase, PTRANSLATE_ADDRESS_ROUTINE translate) {
  StackRead read = ReadStack<PREAD_PROCESS_MEMORY_ROUTINE, DWORD>(
      readMemory, process, ActiveMachine().ThreadOfHandle(thread), (size_t)frame->Reserved[0]);
  return Step("StackWalk", machine, process, thread, frame, (CONTEXT*)context,
              Callbacks(functionTable, moduleBase, translate, &SymFunctionTableAccess, &SymGetModuleBase), read);
}

BOOL StackWalk64(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame, PVOID context,
                 PREAD_PROCESS_MEMORY_ROUTINE64 readMemory, PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTable,
                 PGET_MODULE_BASE_ROUTINE64 moduleBase, PTRANSLATE_ADDRESS_ROUTINE64 translate) {
  StackRead read = ReadStack<PREAD_PROCESS_MEMORY_ROUTINE64, DWORD64>(
      readMemory, process, ActiveMachine().ThreadOfHandle(thread), (size_t)frame->Reserved[0]);
  return Step("StackWalk64", machine, process, thread, frame, (CONTEXT*)context,
              Callbacks(functionTable, moduleBase, translate, &SymFunctionTableAccess64, &SymGetModuleBase64), read);
}

#if !defined(_WIN64)
TEB* NtCurrentTeb() { return &g_teb; }

// Calls the handlers registered after targetFrame with the unwinding flag
// and leaves targetFrame at the head of the chain.
void RtlUnwind(PVOID targetFrame, PVOID /*targetIp*/, PEXCEPTION_RECORD record, PVOID /*returnValue*/) {
  record->ExceptionFlags |= EXCEPTION_UNWINDING;
  CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  EXCEPTION_REGISTRATION_RECORD*& head = g_teb.NtTib.ExceptionList;
  while (head != EndOfChain() && head != targetFrame) {
    EXCEPTION_REGISTRATION_RECORD* r = head;
    head = r->Next;
    r->Handler(record, r, &context, nullptr);
  }
}
#endif
