// threadsift on a process whose modules, version resources, symbols and
// source lines are made from the fuzzer's input: names of any length and
// bytes, names cut without terminators, version records with sizes and
// lengths that lie, frames anywhere; and, with -w, critical sections with
// any owner, count and debug record, which the threads' stacks point at,
// and handle waits on any handle table.
// Each machine is walked twice, for the text and the -j report, and the
// JSON lines must parse and say what the text says.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "FuzzRun.h"
#include "JsonLines.h"

int ThreadsiftMain(int argc, char** argv);

namespace {

const char kCompany[] = "\\StringFileInfo\\040904E4\\CompanyName";
const char kFileVersion[] = "\\StringFileInfo\\040904E4\\FileVersion";
const char kMaker[] = "Vantorel Products Inc.";

std::string Text(FuzzedDataProvider& in, size_t longest) { return in.ConsumeRandomLengthString(longest); }

// A word that is often one of the values that matter to the reader.
uint32_t Length(FuzzedDataProvider& in, uint32_t usual) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return usual;
    case 1:
      return usual - 1;
    case 2:
      return 0xFFFFFFFF - in.ConsumeIntegralInRange<uint32_t>(0, 64);
    default:
      return in.ConsumeIntegral<uint32_t>();
  }
}

// A version block's reported size: one near the block's, one that leaves no
// room for the reader's spare bytes, or any that a version resource can
// have (its length is a 16-bit field; a million bytes is ample), so that no
// run asks for gigabytes.
DWORD ReportedSize(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      return in.ConsumeIntegralInRange<DWORD>(1, 300);
    case 1:
      return 0xFFFFFFFF - in.ConsumeIntegralInRange<DWORD>(0, 31);
    default:
      return in.ConsumeIntegralInRange<DWORD>(1, 0xFFFFF);
  }
}

sim::VersionResource Version(FuzzedDataProvider& in) {
  sim::VersionResource r;
  r.hasRoot = in.ConsumeBool();
  r.FileVersion(in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>(),
                in.ConsumeIntegral<WORD>());
  r.ProductVersion(in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>(), in.ConsumeIntegral<WORD>());
  if (in.ConsumeBool()) r.String(kCompany, in.ConsumeBool() ? std::string(kMaker) : Text(in, 40));
  if (in.ConsumeBool()) r.String(kFileVersion, Text(in, 40));
  if (in.ConsumeBool()) r.reportedSize = ReportedSize(in);
  if (in.ConsumeBool()) r.rootLength = Length(in, sizeof(VS_FIXEDFILEINFO));
  if (in.ConsumeBool()) r.signature = in.ConsumeIntegral<uint32_t>();
  if (in.ConsumeBool()) r.textLengths[kCompany] = Length(in, sizeof(kMaker));
  if (in.ConsumeBool()) r.textLengths[kFileVersion] = Length(in, 3);
  r.lastTextUnterminated = in.ConsumeBool();
  return r;
}

void AddSymbols(FuzzedDataProvider& in, sim::Module& module) {
  int count = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < count; ++i) {
    uint64_t at = module.base + in.ConsumeIntegralInRange<uint32_t>(0, module.size);
    std::string decorated = Text(in, in.ConsumeBool() ? 4200 : 40);
    std::string undecorated = in.ConsumeBool() ? Text(in, 4200) : "";
    sim::Symbol& symbol = module.AddSymbol(at, in.ConsumeIntegral<uint16_t>(), decorated, undecorated);
    int lines = in.ConsumeIntegralInRange<int>(0, 2);
    for (int l = 0; l < lines; ++l) {
      symbol.AddLine(at + in.ConsumeIntegral<uint8_t>(), Text(in, 300), in.ConsumeIntegral<uint32_t>());
    }
  }
}

void AddModules(FuzzedDataProvider& in, sim::Machine& m, sim::Process& p) {
  int count = in.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < count; ++i) {
    uint64_t base = (uint64_t)in.ConsumeIntegral<uint16_t>() << 16;
    DWORD size = in.ConsumeBool() ? 0x10000 : in.ConsumeIntegral<uint32_t>();
    std::string baseName = Text(in, 300);
    std::string path = "C:\\" + Text(in, 300);
    sim::Module& module = p.AddModule(base, size, baseName, path);
    if (in.ConsumeBool()) m.SetVersionResource(path, Version(in));
    AddSymbols(in, module);
  }
}

void AddFrames(FuzzedDataProvider& in, sim::Thread& thread, const sim::Process& p) {
  int count = in.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < count; ++i) {
    uint64_t pc = in.ConsumeIntegral<uint32_t>();
    if (!p.modules.empty() && in.ConsumeBool()) {
      const sim::Module& module = p.modules[in.ConsumeIntegralInRange<size_t>(0, p.modules.size() - 1)];
      pc = module.base + in.ConsumeIntegral<uint16_t>();
    }
    thread.AddFrame(pc, in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint32_t>());
  }
}

// Sections at a few addresses with owners among the threads (or not), any
// recursion count, and debug records pointing anywhere; the stacks point at
// them, into them and around them, and some change or vanish once read.
void AddSections(FuzzedDataProvider& in, sim::Process& p) {
  const uint64_t kWord = sizeof(void*);
  // Thread 20 waits in the platform's routines, with its entry routine's
  // return address where the search looks for it (the walk's stack step is
  // 0x40 a frame) or anywhere.
  sim::Module& ntdll = p.AddModule(0x77f00000, 0x1000, "ntdll.dll", "C:\\ntdll.dll");
  ntdll.AddSymbol(0x77f00000, 0x80, "RtlEnterCriticalSection");
  ntdll.AddSymbol(0x77f00100, 0x80, in.ConsumeBool() ? "RtlpWaitForCriticalSection" : "_RtlEnterCriticalSection@4");
  sim::Thread& waiter = p.threads[1];
  uint64_t caller = in.ConsumeIntegral<uint32_t>();
  waiter.frames.clear();
  waiter.AddFrame(0x77f00110).AddFrame(0x77f00010).AddFrame(caller);
  waiter.stack.pinned[in.ConsumeBool() ? 2 * 0x40 - kWord : in.ConsumeIntegralInRange<uint64_t>(0, 64) * kWord] =
      caller;
  int count = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < count; ++i) {
    uint64_t at = 0x420000 + in.ConsumeIntegralInRange<uint64_t>(0, 8) * kWord;
    DWORD owner = in.ConsumeBool() ? (in.ConsumeBool() ? 10 : 20) : in.ConsumeIntegral<DWORD>();
    uint64_t record = in.ConsumeBool() ? 0 : in.ConsumeBool() ? 0x430000 : in.ConsumeIntegral<uint32_t>();
    sim::MemoryBlock& section = p.AddSection(at, owner, in.ConsumeIntegral<int32_t>(), record);
    section.unreadable = in.ConsumeBool() && in.ConsumeBool();
    if (in.ConsumeBool()) section.readsLeft = in.ConsumeIntegralInRange<int>(1, 3);
    if (record == 0x430000) p.AddSectionDebugRecord(record, in.ConsumeBool() ? at : in.ConsumeIntegral<uint32_t>());
    for (sim::Thread& t : p.threads) {
      int words = in.ConsumeIntegralInRange<int>(0, 3);
      for (int w = 0; w < words; ++w) {
        t.stack.pinned[in.ConsumeIntegralInRange<uint64_t>(0, 64) * kWord] =
            at + in.ConsumeIntegralInRange<int>(-8, 48);
      }
    }
  }
}

// Thread 10 waits on handles: the array and flag where each width's wait
// keeps them hold values of a small handle table (threads, processes,
// mutexes with any holder, files and keys, any names) or anything; the
// array a 32-bit caller passes points at memory of such values or anywhere.
void AddHandleWaits(FuzzedDataProvider& in, sim::Process& p) {
  const uint64_t kWord = sizeof(void*);
  sim::Module& kernelbase = p.AddModule(0x7b000000, 0x1000, "kernelbase.dll", "C:\\kernelbase.dll");
  const char* const kRoutines[] = {"WaitForMultipleObjectsEx", "WaitForMultipleObjects", "WaitForSingleObject",
                                   "SignalObjectAndWait"};
  for (uint64_t i = 0; i < 4; ++i) kernelbase.AddSymbol(0x7b000000 + i * 0x100, 0x80, kRoutines[i]);
  const char* const kTypes[] = {"Thread", "Process", "Mutant", "Event", "Semaphore", "Timer", "File", "Key"};
  int handles = in.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < handles; ++i) {
    uint64_t value = in.ConsumeBool() ? 0x40 + 4 * in.ConsumeIntegralInRange<uint64_t>(0, 7) : in.ConsumeIntegral<uint32_t>();
    std::string name = in.ConsumeBool() ? "\\BaseNamedObjects\\" + Text(in, 40) : Text(in, 40);
    sim::TargetHandle& h = p.AddHandle(value, kTypes[in.ConsumeIntegralInRange<int>(0, 7)],
                                       in.ConsumeBool() ? std::u16string(name.begin(), name.end()) : u"");
    h.id = in.ConsumeBool() ? (in.ConsumeBool() ? 10 : 20) : in.ConsumeIntegral<DWORD>();
    h.process = in.ConsumeBool() ? 120 : in.ConsumeIntegral<DWORD>();
    h.ended = in.ConsumeBool();
    h.holder = in.ConsumeBool() ? (in.ConsumeBool() ? 10 : 20) : in.ConsumeIntegral<DWORD>();
    h.abandoned = in.ConsumeBool();
    h.holderUnanswered = in.ConsumeBool();
  }
  sim::Thread& waiter = p.threads[0];
  uint64_t array = in.ConsumeBool() ? 0x460000 : in.ConsumeIntegral<uint32_t>();
  uint64_t count = in.ConsumeIntegralInRange<uint64_t>(0, 70), flag = in.ConsumeIntegral<uint8_t>();
  waiter.frames.clear();
  waiter.AddFrame(0x7b000800).AddFrame(0x7b000010, count, array, flag);
  waiter.AddFrame(0x7b000010 + 0x100 * in.ConsumeIntegralInRange<uint64_t>(1, 3), in.ConsumeIntegral<uint16_t>(),
                  in.ConsumeBool() ? array : in.ConsumeIntegral<uint16_t>(), flag);
  waiter.frames.back().stackGap = 8 * in.ConsumeIntegralInRange<uint64_t>(0, 0x60);
  waiter.AddFrame(in.ConsumeIntegral<uint32_t>());
  sim::MemoryBlock block;
  block.address = 0x460000;
  int words = in.ConsumeIntegralInRange<int>(0, 8);
  for (int w = 0; w < words; ++w) {
    uint64_t value = 0x40 + 4 * in.ConsumeIntegralInRange<uint64_t>(0, 8);
    waiter.stack.pinned[0x80 + w * kWord] = value;
    for (uint64_t b = 0; b < kWord; ++b) block.bytes.push_back((unsigned char)(value >> (8 * b)));
  }
  block.unreadable = in.ConsumeBool() && in.ConsumeBool();
  p.memory.push_back(block);
  waiter.stack.pinned[0x80 + waiter.frames[2].stackGap + 0x10] = flag;
  if (in.ConsumeBool()) p.SetLoaderLock(0x420000 + 8 * in.ConsumeIntegralInRange<uint64_t>(0, 8));
}

// Thread 30 waits in the routines of slim locks, condition variables,
// address waits or C++ mutexes; its stack and a few objects hold Wine's
// address-wait entries with links that lead back or anywhere, Windows'
// lock words and wait blocks that chain to its stack, to each other or
// anywhere, and mutex objects with any type word and holder.
void AddModernWaits(FuzzedDataProvider& in, sim::Process& p) {
  sim::Module& ntdll = p.AddModule(0x77f10000, 0x1000, "ntdll.dll", "C:\\ntdll.dll");
  const char* const kRoutines[] = {"RtlWaitOnAddress", "RtlAcquireSRWLockExclusive", "RtlAcquireSRWLockShared",
                                   "RtlSleepConditionVariableSRW", "WaitOnAddress", "_Mtx_lock",
                                   "RtlpAcquireSRWLockExclusiveContended", "threadpool_worker_proc",
                                   "SendMessageA", "SendMessageTimeoutA", "SendMessageW", "NtUserMessageCall"};
  const uint64_t kRoutineCount = sizeof(kRoutines) / sizeof(kRoutines[0]);
  for (uint64_t i = 0; i < kRoutineCount; ++i) ntdll.AddSymbol(0x77f10000 + i * 0x100, 0x80, kRoutines[i]);
  sim::Thread& waiter = p.AddThread(30);
  int frames = in.ConsumeIntegralInRange<int>(1, 4);
  waiter.AddFrame(0x77f10f80);
  for (int f = 0; f < frames; ++f) {
    waiter.AddFrame(0x77f10010 + 0x100 * in.ConsumeIntegralInRange<uint64_t>(0, kRoutineCount - 1));
  }
  waiter.AddFrame(in.ConsumeIntegral<uint32_t>());
  const uint64_t stack = waiter.stack.Pointer();
  auto anywhere = [&]() -> uint64_t {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        return stack + 8 * in.ConsumeIntegralInRange<uint64_t>(0, 40);
      case 1:
        return 0x470000 + 8 * in.ConsumeIntegralInRange<uint64_t>(0, 24);
      case 2:
        return in.ConsumeIntegralInRange<uint64_t>(0, 15) | (0x470000 + 16 * in.ConsumeIntegralInRange<uint64_t>(0, 12));
    }
    return in.ConsumeIntegral<uint32_t>();
  };
  int words = in.ConsumeIntegralInRange<int>(0, 12);
  for (int w = 0; w < words; ++w) {
    waiter.stack.pinned[8 * in.ConsumeIntegralInRange<uint64_t>(0, 40)] =
        in.ConsumeBool() ? anywhere() : (uint64_t)(in.ConsumeBool() ? 30 : in.ConsumeIntegral<uint32_t>());
  }
  if (in.ConsumeBool()) {
    p.QueueAddressWaiters(0x77f10f00, {{&waiter, 8 * in.ConsumeIntegralInRange<uint64_t>(0, 24), anywhere()}});
  }
  int objects = in.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < objects; ++i) {
    uint64_t at = 0x470000 + 8 * in.ConsumeIntegralInRange<uint64_t>(0, 24);
    sim::MemoryBlock& block = in.ConsumeBool() ? p.AddCxxMutex(at, in.ConsumeBool() ? 2 : in.ConsumeIntegral<uint32_t>(),
                                                               in.ConsumeBool() ? 20 : in.ConsumeIntegral<uint32_t>())
                                               : p.AddWord(at, anywhere());
    if (in.ConsumeBool()) block.readsLeft = in.ConsumeIntegralInRange<int>(1, 3);
    block.unreadable = in.ConsumeBool() && in.ConsumeBool();
  }
  // Windows the sends may name: of the waiter, of the others, of another
  // process, with classes that are empty, long or not well formed, some
  // destroyed while they are asked about.
  waiter.rdi = in.ConsumeBool() ? 0x10000 + in.ConsumeIntegralInRange<uint64_t>(0, 3) : in.ConsumeIntegral<uint64_t>();
  waiter.rsi = in.ConsumeBool() ? 0x10000 + in.ConsumeIntegralInRange<uint64_t>(0, 3) : in.ConsumeIntegral<uint64_t>();
  int windows = in.ConsumeIntegralInRange<int>(0, 4);
  const DWORD kReceivers[] = {10, 20, 30, 77};
  for (int i = 0; i < windows; ++i) {
    std::u16string windowClass;
    int length = in.ConsumeIntegralInRange<int>(0, 300);
    for (int c = 0; c < length; ++c) windowClass += (char16_t)(in.ConsumeBool() ? u'A' + c % 26 : in.ConsumeIntegral<uint16_t>());
    sim::Window& window = p.AddWindow(0x10000 + (uint64_t)i, kReceivers[in.ConsumeIntegralInRange<int>(0, 3)],
                                      windowClass, in.ConsumeBool() ? 0 : 130);
    if (in.ConsumeBool()) window.checksLeft = in.ConsumeIntegralInRange<int>(0, 4);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return DiscardReports(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sim::Machine m;
  m.cutNamesUnterminated = in.ConsumeBool();
  sim::Process& p = m.AddProcess(120, u"app.exe");
  AddModules(in, m, p);
  sim::Thread& first = p.AddThread(10);
  sim::Thread& second = p.AddThread(20);
  AddFrames(in, first, p);
  AddFrames(in, second, p);
  bool waits = in.ConsumeBool();
  if (waits) AddSections(in, p);
  if (waits) AddHandleWaits(in, p);
  if (waits) AddModernWaits(in, p);
  m.AddProcess(4000, u"tool.exe").AddThread(4004);
  std::vector<std::string> args = {"-p", "120"};
  if (waits) args.push_back("-w");
  // The same machine once more for the -j report, which must parse and say
  // what the text says, frames and all.
  sim::Machine json = m;
  m.keepsOutput = true;
  json.keepsOutput = true;
  std::map<DWORD, int> suspends = {{10, 0}, {20, 0}};
  if (waits) suspends[30] = 0;
  RunAndCheck(m, ThreadsiftMain, "threadsift", args, suspends);
  args.push_back("-j");
  RunAndCheck(json, ThreadsiftMain, "threadsift", args, suspends);
  std::string difference = CompareJsonWithText(json.output(), m.output());
  if (!difference.empty()) {
    std::fprintf(stderr, "the -j report differs from the text: %s\n", difference.c_str());
    std::abort();
  }
  return 0;
}
