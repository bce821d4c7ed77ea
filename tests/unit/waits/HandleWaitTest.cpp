#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "JsonLines.h"
#include "Scenarios.h"
#include "ToolRuns.h"
#include "WaitLines.h"
#include "simwin_api.h"

using Json = nlohmann::ordered_json;

namespace {

const uint64_t kStub = 0x77f80000;  // ntdll.dll, no symbol
const uint64_t kMain = 0x402010;    // app.exe!main
const uint64_t kInfinite = 0xFFFFFFFF;
// Where Wine's 64-bit wait keeps what it waits on: the handles copied into
// its frame, the flag asking for all of them in its caller's.
const uint64_t kArrayInFrame = 0x40;
const uint64_t kAllFlagInCaller = 0x10;
const uint64_t kSignalledWordInFrame = 0x28;
const uint64_t kFrameStep = 0x40;  // the simulated walk's usual step
const uint64_t kWaitFrameGap = 0x200;

// Routines of kernelbase.dll, 0x100 bytes apart from 0x7b001000; a frame
// stands 0x10 into its routine.
const std::vector<std::string> kRoutines = {"WaitForSingleObject", "WaitForSingleObjectEx",
                                            "WaitForMultipleObjects", "WaitForMultipleObjectsEx",
                                            "SignalObjectAndWait", "Sleep", "NtWaitForMultipleObjects",
                                            "KiFastSystemCallRet"};
// ntdll.dll's RtlEnterCriticalSection (WaitChainTest.cpp's first routine).
const uint64_t kSectionEntry = 0x77f01010;

uint64_t Pc(const std::string& routine) {
  for (size_t i = 0; i < kRoutines.size(); ++i) {
    if (kRoutines[i] == routine) return 0x7b001010 + i * 0x100;
  }
  return kStub;
}

sim::Machine HandleMachine() {
  sim::Machine m = WaitMachine();
  sim::Module& kernelbase = m.FindProcess(120)->AddModule(0x7b000000, 0x100000, "kernelbase.dll",
                                                          "C:\\WINNT\\system32\\kernelbase.dll");
  for (const std::string& routine : kRoutines) kernelbase.AddSymbol(Pc(routine) - 0x10, 0x80, routine);
  m.AddProcess(130, u"child.exe").AddThread(60);
  return m;
}

// Where a 32-bit program keeps the array it passes, apart from every stack.
uint64_t ArrayOf(DWORD tid) { return 0x460000 + tid * 0x100; }

enum Call { Single, AllOf, AnyOf };

// A 32-bit routine's arguments from its caller's stack address up, its
// return address just below, and a stale copy of that address lower down,
// as Wine's threads keep them. The walk's argument words start two words
// lower.
void PinArguments(sim::Thread& t, uint64_t word, uint64_t callerStack, const std::vector<uint64_t>& args) {
  t.stack.pinned[callerStack - word] = kMain;
  t.stack.pinned[callerStack - 3 * word] = kMain;
  for (size_t i = 0; i < args.size(); ++i) t.stack.pinned[callerStack + i * word] = args[i];
}

// Thread tid waits on handles through the routines Wine's threads show: a
// stub, WaitForMultipleObjectsEx, then the routine the program called, then
// main. Each width finds the handles where its waits keep them: the 64-bit
// one in the wait's frame, the 32-bit one in the arguments of the routine
// called and, for several, the program's array.
sim::Thread& HandleWaiter(sim::Process& p, DWORD tid, const std::vector<uint64_t>& handles, Call call = Single) {
  uint64_t all = call == AllOf ? 1 : 0;
  uint64_t count = handles.size(), array = ArrayOf(tid);
  sim::Thread& t = p.AddThread(tid);
  t.AddFrame(kStub).AddFrame(Pc("WaitForMultipleObjectsEx"), 0, kMain, count, array);
  t.AddFrame(Pc(call == Single ? "WaitForSingleObject" : "WaitForMultipleObjects"), 0, kMain,
             call == Single ? handles[0] : count, call == Single ? kInfinite : array);
  t.frames.back().stackGap = kWaitFrameGap;
  t.AddFrame(kMain);
  uint64_t called = 2 * kFrameStep + kWaitFrameGap;  // the stack address of the routine called
  uint64_t word = WordOf(p);
  if (word == 8) {
    for (size_t i = 0; i < handles.size(); ++i) t.stack.pinned[kFrameStep + kArrayInFrame + i * word] = handles[i];
    t.stack.pinned[called + kAllFlagInCaller] = all;
    // The count and the program's array stay in the registers Wine's wait
    // keeps them in.
    if (call != Single) {
      t.rdi = count;
      t.r12 = array;
    }
  } else if (call == Single) {
    PinArguments(t, word, called + kFrameStep, {handles[0], kInfinite});
  } else {
    PinArguments(t, word, called + kFrameStep, {count, array, all, kInfinite});
  }
  sim::MemoryBlock block;
  block.address = array;
  for (uint64_t handle : handles) {
    for (uint64_t i = 0; i < word; ++i) block.bytes.push_back((unsigned char)(handle >> (8 * i)));
  }
  p.memory.push_back(block);
  return t;
}

// Thread tid signals one event and waits on another, as Wine's threads show it.
sim::Thread& SignalWaiter(sim::Process& p, DWORD tid, uint64_t signalled, uint64_t waited) {
  sim::Thread& t = p.AddThread(tid);
  t.AddFrame(kStub).AddFrame(Pc("SignalObjectAndWait"), 0, kMain, signalled, waited).AddFrame(kMain);
  if (WordOf(p) == 8) {
    t.stack.pinned[kFrameStep + kSignalledWordInFrame - 8] = signalled;
    t.stack.pinned[kFrameStep + kSignalledWordInFrame] = waited;
  } else {
    PinArguments(t, 4, 2 * kFrameStep, {signalled, waited, kInfinite});
  }
  return t;
}

// Thread tid sleeps, called from main.
sim::Thread& Sleeper(sim::Process& p, DWORD tid) { return p.AddThread(tid).AddFrame(kStub).AddFrame(Pc("Sleep")).AddFrame(kMain); }


std::string Waits(DWORD waiter, const std::string& rest) {
  std::string line = Id(waiter) + " waits for " + rest + "\n";
  line[0] = 'T';
  return line;
}



sim::TargetHandle& ThreadHandle(sim::Process& p, uint64_t value, DWORD tid, DWORD pid = 120) {
  sim::TargetHandle& h = p.AddHandle(value, "Thread");
  h.id = tid;
  h.process = pid;
  return h;
}

sim::TargetHandle& Mutex(sim::Process& p, uint64_t value, DWORD holder, const std::u16string& name = u"") {
  sim::TargetHandle& h = p.AddHandle(value, "Mutant", name);
  h.holder = holder;
  return h;
}

struct Scene {
  const char* name;
  std::function<void(sim::Machine&, sim::Process&)> build;
  std::string lines;
};

TEST(HandleWait, EachSceneGivesExactlyItsLines) {
  const Scene scenes[] = {
      {"a thread waits for a thread of its process, and one of another, to end",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40});
         ThreadHandle(p, 0x40, 20);
         Sleeper(p, 20);
         HandleWaiter(p, 30, {0x44});
         ThreadHandle(p, 0x44, 60, 130);
       },
       Waits(10, Id(20) + " to end") + Waits(30, Id(60) + " of process 130 (0x82) to end")},
      {"a thread waits for a child process to end",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x48});
         p.AddHandle(0x48, "Process").id = 130;
       },
       Waits(10, "process 130 (0x82) to end")},
      {"mutexes: held, holder not given, abandoned, holder that names no thread",
       [](sim::Machine&, sim::Process& p) {
         Sleeper(p, 20);
         HandleWaiter(p, 10, {0x40});
         Mutex(p, 0x40, 20, u"\\Sessions\\1\\BaseNamedObjects\\app-lock");
         HandleWaiter(p, 11, {0x44});
         Mutex(p, 0x44, 20).holderUnanswered = true;
         HandleWaiter(p, 12, {0x48});
         Mutex(p, 0x48, 0, u"\\BaseNamedObjects\\left").abandoned = true;
         HandleWaiter(p, 13, {0x4c});
         Mutex(p, 0x4c, 999);
       },
       Waits(10, "mutex \"app-lock\" held by " + Id(20)) + Waits(11, "mutex (handle 0x44), whose holder is unknown") +
           Waits(12, "mutex \"left\", which was abandoned") +
           Waits(13, "mutex (handle 0x4c), whose holder is unknown")},
      {"events, semaphores and timers, named and not, a name the code page lacks a character of, a name with a line "
       "break, and a name outside the program's folder",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40});
         p.AddHandle(0x40, "Event", u"\\BaseNamedObjects\\ready\u4e2d!");
         HandleWaiter(p, 11, {0x44});
         p.AddHandle(0x44, "Semaphore");
         HandleWaiter(p, 12, {0x48});
         p.AddHandle(0x48, "Timer", u"\\KernelObjects\\ti\nck");
         SignalWaiter(p, 13, 0x44, 0x40);
       },
       Waits(10, "event \"ready?!\"") + Waits(11, "semaphore (handle 0x44)") +
           Waits(12, "timer \"\\KernelObjects\\ti?ck\"") + Waits(13, "event \"ready?!\"")},
      {"all of two threads, any of an event and a mutex",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40, 0x44}, AllOf);
         ThreadHandle(p, 0x40, 20);
         ThreadHandle(p, 0x44, 30);
         Sleeper(p, 20);
         Sleeper(p, 30);
         HandleWaiter(p, 11, {0x48, 0x4c, 0x50}, AnyOf);
         p.AddHandle(0x48, "Event");
         Mutex(p, 0x4c, 20, u"\\BaseNamedObjects\\m");
         p.AddHandle(0x50, "Semaphore", u"\\BaseNamedObjects\\s");
       },
       Waits(10, "all of: " + Id(20) + " to end; " + Id(30) + " to end") +
           Waits(11, "any of: event (handle 0x48); mutex \"m\" held by " + Id(20) + "; semaphore \"s\"")},
      {"all of a mutex the waiter holds itself and an event: no cycle of one",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40, 0x44}, AllOf);
         Mutex(p, 0x40, 10);
         p.AddHandle(0x44, "Event");
       },
       Waits(10, "all of: mutex (handle 0x40) held by " + Id(10) + "; event (handle 0x44)")},
      {"bad handles: closed, pseudo, odd, of a type no wait is on, the waiter itself",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40});
         HandleWaiter(p, 11, {(uint64_t)-1});
         HandleWaiter(p, 12, {0x45});
         HandleWaiter(p, 13, {0x48});
         p.AddHandle(0x48, "File", u"\\Device\\NamedPipe\\pipe");
         HandleWaiter(p, 14, {0x4c});
         p.AddHandle(0x4c, "Key", u"\\REGISTRY\\MACHINE");
         HandleWaiter(p, 15, {0x50});
         ThreadHandle(p, 0x50, 15);
         HandleWaiter(p, 16, {0});
       },
       ""},
      {"a wait that a section's entry routine called is the section's",
       [](sim::Machine&, sim::Process& p) {
         sim::Thread& t = HandleWaiter(p, 10, {0x40, 0x44}, AllOf);
         t.frames.insert(t.frames.end() - 1, sim::Frame{kSectionEntry, {0, 0, 0, 0}});
         p.AddHandle(0x40, "Event");
         p.AddHandle(0x44, "Event");
       },
       ""},
      {"all of two handles, the second of which names nothing waitable",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40, 0x44}, AllOf);
         p.AddHandle(0x40, "Event");
       },
       ""},
      {"a wait no frame called, and a stub's frame alone",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40}).frames.pop_back();
         p.AddHandle(0x40, "Event");
         p.AddThread(11).AddFrame(Pc("KiFastSystemCallRet")).AddFrame(kMain);
       },
       ""},
      {"all of as many handles as a wait takes",
       [](sim::Machine&, sim::Process& p) {
         std::vector<uint64_t> handles;
         for (uint64_t h = 0x100; handles.size() < 64; h += 4) {
           handles.push_back(h);
           p.AddHandle(h, "Event");
         }
         HandleWaiter(p, 10, handles, AllOf);
       },
       [] {
         std::string objects;
         for (unsigned h = 0x100; h < 0x200; h += 4) {
           std::ostringstream one;
           one << "; event (handle 0x" << std::hex << h << ")";
           objects += one.str();
         }
         return Waits(10, "all of: " + objects.substr(2));
       }()},
      {"decoys: a sleeping thread, and a waiter whose caller keeps other handles",
       [](sim::Machine&, sim::Process& p) {
         sim::Thread& sleeper = Sleeper(p, 10);
         for (uint64_t at = 0; at < 0x100; at += WordOf(p)) sleeper.stack.pinned[at] = 0x40;
         sim::Thread& waiter = HandleWaiter(p, 11, {0x44});
         waiter.stack.pinned[2 * kFrameStep + kWaitFrameGap + 0x38] = 0x40;
         ThreadHandle(p, 0x40, 20);
         p.AddHandle(0x44, "Event", u"\\BaseNamedObjects\\go");
         Sleeper(p, 20);
       },
       Waits(11, "event \"go\"")},
      {"a waiter whose program has no symbols",
       [](sim::Machine&, sim::Process& p) {
         const uint64_t kUnnamed = 0x40a010;
         sim::Thread& t = HandleWaiter(p, 10, {0x40, 0x44}, AllOf);
         for (auto& word : t.stack.pinned) {
           if (word.second == kMain) word.second = kUnnamed;
         }
         t.frames.back().pc = kUnnamed;
         t.AddFrame(kUnnamed + 0x100);
         p.AddHandle(0x40, "Event");
         p.AddHandle(0x44, "Event");
       },
       Waits(10, "all of: event (handle 0x40); event (handle 0x44)")},
      {"a join cycle, a mutex cycle, and a wait for any that makes none",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40});
         ThreadHandle(p, 0x40, 20);
         SectionWaiter(p, 20, 0x420000);
         p.AddSection(0x420000, 10, 1);
         HandleWaiter(p, 30, {0x44});
         Mutex(p, 0x44, 40);
         HandleWaiter(p, 40, {0x48, 0x4c}, AllOf);
         p.AddHandle(0x48, "Event");
         ThreadHandle(p, 0x4c, 30);
         HandleWaiter(p, 50, {0x50, 0x54}, AnyOf);
         ThreadHandle(p, 0x50, 60);
         p.AddHandle(0x54, "Event");
         HandleWaiter(p, 60, {0x58});
         ThreadHandle(p, 0x58, 50);
       },
       Waits(10, Id(20) + " to end") + Waits(20, "critical section 0x" + Hex(0x420000) + " held by " + Id(10)) +
           Waits(30, "mutex (handle 0x44) held by " + Id(40)) +
           Waits(40, "all of: event (handle 0x48); " + Id(30) + " to end") +
           Waits(50, "any of: " + Id(60) + " to end; event (handle 0x54)") + Waits(60, Id(50) + " to end") +
           Deadlock({10, 20}) + Deadlock({30, 40})},
      {"the loader lock: a library's entry routine waits for a thread that needs it",
       [](sim::Machine&, sim::Process& p) {
         p.SetLoaderLock(0x420000);
         HandleWaiter(p, 10, {0x40});
         ThreadHandle(p, 0x40, 20);
         SectionWaiter(p, 20, 0x420000);
         p.AddSection(0x420000, 10, 1);
       },
       Waits(10, Id(20) + " to end") +
           Waits(20, "critical section 0x" + Hex(0x420000) + " (the loader lock) held by " + Id(10)) +
           Deadlock({10, 20})},
      {"a process that refuses duplication: the handle alone",
       [](sim::Machine& m, sim::Process& p) {
         HandleWaiter(p, 10, {0x40});
         ThreadHandle(p, 0x40, 20);
         Sleeper(p, 20);
         m.Fail("DuplicateHandle", ERROR_ACCESS_DENIED);
       },
       Waits(10, "handle 0x40")},
      {"a cycle over by the time the last thread is walked",
       [](sim::Machine& m, sim::Process& p) {
         HandleWaiter(p, 10, {0x40});
         Mutex(p, 0x40, 20);
         HandleWaiter(p, 20, {0x44});
         ThreadHandle(p, 0x44, 10);
         // The check of the cycle duplicates the mutex's handle a third time.
         m.Fail("DuplicateHandle", ERROR_INVALID_HANDLE, 3);
       },
       Waits(10, "mutex (handle 0x40) held by " + Id(20)) + Waits(20, Id(10) + " to end")},
  };
  // The 64-bit build finds a 32-bit process's handles where its 32-bit
  // waits keep them, and says what the 32-bit build says of them.
  for (uint64_t word : ProcessWords()) {
    for (const Scene& scene : scenes) {
      sim::Machine m = HandleMachine();
      sim::Process& p = *m.FindProcess(120);
      SetWidth(p, word);
      scene.build(m, p);
      sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
      EXPECT_EQ(r.status, 0) << scene.name << word;
      EXPECT_EQ(WaitLines(r.out), Narrowed(scene.lines, word)) << scene.name << word;
      EXPECT_EQ(m.OpenHandleCount(), 0) << scene.name << word;
      EXPECT_TRUE(m.books().misuses.empty()) << scene.name << word << ::testing::PrintToString(m.books().misuses);
      EXPECT_EQ(CallsWhileSuspended(m).count("DuplicateHandle"), 0u) << scene.name << word;
      for (const std::string& args : m.CallArgs("DuplicateHandle")) {
        EXPECT_NE(args.rfind("0x0,", 0), 0u) << scene.name << word << ": handle 0 is no handle to duplicate";
      }
    }
  }
}

}  // namespace

sim::Machine HandleWaitMachine() {
  sim::Machine m = HandleMachine();
  sim::Process& p = *m.FindProcess(120);
  p.SetLoaderLock(0x420000);
  HandleWaiter(p, 10, {0x40});
  ThreadHandle(p, 0x40, 20);
  SectionWaiter(p, 20, 0x420000);
  p.AddSection(0x420000, 10, 1);
  HandleWaiter(p, 30, {0x44, 0x48, 0x4c}, AnyOf);
  Mutex(p, 0x44, 20, u"\\BaseNamedObjects\\m\u00e9");
  Mutex(p, 0x48, 0).abandoned = true;
  p.AddHandle(0x4c, "Process").id = 130;
  HandleWaiter(p, 40, {0x50, 0x54}, AllOf);
  Mutex(p, 0x50, 20).holderUnanswered = true;
  ThreadHandle(p, 0x54, 60, 130);
  HandleWaiter(p, 50, {0x58});
  p.AddHandle(0x58, "Timer");
  // A 64-bit wait whose count its registers do not give: its second event
  // may be a leftover.
  HandleWaiter(p, 70, {0x5c, 0x60}, AllOf).rdi = 0;
  p.AddHandle(0x5c, "Event");
  p.AddHandle(0x60, "Event");
  return m;
}

namespace {

TEST(HandleWait, JsonMembersNameEachObject) {
  sim::Machine m = HandleWaitMachine();
  sim::RunResult r = RunThreadsift(m, {"-j", "-w", "-p", "120"});
  std::vector<Json> lines;
  std::string problem;
  ASSERT_TRUE(ParseJsonLines(r.out, &lines, &problem)) << problem;
  std::map<DWORD, Json> waits;
  for (const Json& thread : lines.at(0)["threads"]) {
    if (thread.contains("waits_for")) waits[thread["thread_id"].get<DWORD>()] = thread["waits_for"];
  }
  ASSERT_EQ(waits.size(), 6u);
  EXPECT_EQ(waits[10], Json::parse(R"({"mode":"one","objects":[{"handle":"0x40","kind":"thread","thread":20,"process":120}]})"));
  EXPECT_EQ(waits[20]["loader_lock"], true);
  EXPECT_EQ(waits[30], Json::parse(R"({"mode":"any","objects":[
      {"handle":"0x44","kind":"mutex","name":"m\u00e9","holder":20,"holder_process":120,"abandoned":false},
      {"handle":"0x48","kind":"mutex","holder":null,"abandoned":true},
      {"handle":"0x4c","kind":"process","process":130}]})"));
  EXPECT_EQ(waits[40]["mode"], "all");
  EXPECT_EQ(waits[40]["objects"][0]["holder"], nullptr);
  EXPECT_EQ(waits[40]["objects"][1]["process"], 130);
  EXPECT_EQ(waits[50]["objects"][0], Json::parse(R"({"handle":"0x58","kind":"timer"})"));
  EXPECT_FALSE(waits[70]["objects"][0].contains("uncertain"));
  EXPECT_EQ(waits[70]["objects"][1].contains("uncertain"), sizeof(void*) == 8);
  EXPECT_EQ(lines.at(0)["deadlocks"], Json::parse("[[10,20]]"));
}

TEST(HandleWait, WithoutTheOptionNoHandleIsDuplicatedAndEveryByteStays) {
  sim::Machine plain = HandleWaitMachine();
  sim::RunResult without = RunThreadsift(plain, {"-p", "120"});
  sim::Machine waits = HandleWaitMachine();
  sim::RunResult with = RunThreadsift(waits, {"-p", "120", "-w"});
  EXPECT_EQ(plain.CallCount("DuplicateHandle") + plain.CallCount("NtQueryObject"), 0);
  EXPECT_GT(waits.CallCount("DuplicateHandle"), 0);
  std::string expected;
  std::istringstream in(with.out);
  for (std::string line; std::getline(in, line);) {
    if (line.find(" waits for ") == std::string::npos && line.rfind("Deadlock: ", 0) != 0) expected += line + "\n";
  }
  // The empty line after the cycles goes with them.
  ASSERT_GE(expected.size(), 2u);
  expected.erase(expected.size() - 1);
  EXPECT_EQ(without.out, expected);
}

}  // namespace

namespace {

TEST(HandleWait, ThirtyTwoBitArgumentsThatNameNoArrayGiveNoLine) {
  const Scene scenes[] = {
      {"an array anywhere",
       [](sim::Machine&, sim::Process& p) {
         PinArguments(HandleWaiter(p, 10, {0x40, 0x44}, AllOf), 4, 3 * kFrameStep + kWaitFrameGap,
                      {2, 0x10, 1, kInfinite});
       },
       ""},
      {"more handles than a wait takes",
       [](sim::Machine&, sim::Process& p) {
         PinArguments(HandleWaiter(p, 10, {0x40, 0x44}, AllOf), 4, 3 * kFrameStep + kWaitFrameGap,
                      {65, ArrayOf(10), 1, kInfinite});
       },
       ""},
      {"no return address above the routine",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40}).stack.pinned.clear();
       },
       ""},
      {"another word than the caller's resume address above the routine",
       [](sim::Machine&, sim::Process& p) {
         HandleWaiter(p, 10, {0x40}).stack.pinned[3 * kFrameStep + kWaitFrameGap - 4] = kMain + 0x100;
       },
       ""},
  };
  for (const Scene& scene : scenes) {
    sim::Machine m = HandleMachine();
    sim::Process& p = *m.FindProcess(120);
    SetWidth(p, 4);
    ThreadHandle(p, 0x40, 20);
    ThreadHandle(p, 0x44, 30);
    scene.build(m, p);
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
    EXPECT_EQ(WaitLines(r.out), scene.lines) << scene.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << scene.name;
  }
}

}  // namespace

namespace {

// Wine's 64-bit wait copies the handles into an array of its frame, after
// which lie the words an earlier, larger wait of the same call site left.
TEST(HandleWait, SixtyFourBitFrameArrayClaimsOnlyTheHandlesItCounts) {
  if (sizeof(void*) != 8) GTEST_SKIP() << "only the 64-bit build reads a 64-bit wait's frame";
  const uint64_t kLeftover = kFrameStep + kArrayInFrame + 2 * 8;
  // Thread 20 holds the mutex a leftover word names, and waits for thread
  // 10 to end: a cycle only if thread 10 needed that mutex.
  const std::string join = Waits(20, Id(10) + " to end");
  const std::string counted = Waits(10, "all of: event (handle 0x40); event (handle 0x44)") + join;
  const std::string uncertain =
      Waits(10, "all of: event (handle 0x40); perhaps event (handle 0x44); perhaps mutex (handle 0x48) held by " +
                    Id(20)) +
      join;
  const Scene scenes[] = {
      {"the registers give the count", [](sim::Machine&, sim::Process&) {}, counted},
      {"no count in the registers", [](sim::Machine&, sim::Process& p) { p.FindThread(10)->rdi = 0; }, uncertain},
      {"more than a wait takes", [](sim::Machine&, sim::Process& p) { p.FindThread(10)->rdi = 65; }, uncertain},
      {"an array that is not the frame's",
       [](sim::Machine&, sim::Process& p) { p.FindThread(10)->r12 = ArrayOf(20); }, uncertain},
      {"a flag word whose upper half is not the flag's",
       [](sim::Machine&, sim::Process& p) {
         p.FindThread(10)->stack.pinned[2 * kFrameStep + kWaitFrameGap + kAllFlagInCaller] = 0xFFFFFFFF00000000ull;
       },
       Waits(10, "any of: event (handle 0x40); event (handle 0x44)") + join},
      {"a process that refuses duplication, counted",
       [](sim::Machine& m, sim::Process&) { m.Fail("DuplicateHandle", ERROR_ACCESS_DENIED); },
       Waits(10, "all of: handle 0x40; handle 0x44") + Waits(20, "handle 0x4c")},
  };
  for (const Scene& scene : scenes) {
    sim::Machine m = HandleMachine();
    sim::Process& p = *m.FindProcess(120);
    HandleWaiter(p, 10, {0x40, 0x44}, AllOf).stack.pinned[kLeftover] = 0x48;
    p.AddHandle(0x40, "Event");
    p.AddHandle(0x44, "Event");
    Mutex(p, 0x48, 20);
    HandleWaiter(p, 20, {0x4c});
    ThreadHandle(p, 0x4c, 10);
    scene.build(m, p);
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
    EXPECT_EQ(WaitLines(r.out), scene.lines) << scene.name;
    EXPECT_EQ(m.OpenHandleCount(), 0) << scene.name;
  }
}

}  // namespace

namespace {

// A 32-bit program that calls the native wait itself: its third argument
// is the wait's type, 0 for all of the handles, 1 for any.
TEST(HandleWait, ThirtyTwoBitNativeWaitSaysAllOrAnyByItsType) {
  for (uint64_t type : {0, 1}) {
    sim::Machine m = HandleMachine();
    sim::Process& p = *m.FindProcess(120);
    SetWidth(p, 4);
    p.AddHandle(0x40, "Event");
    p.AddHandle(0x44, "Event");
    sim::Thread& t = p.AddThread(10);
    t.AddFrame(kStub).AddFrame(Pc("NtWaitForMultipleObjects")).AddFrame(kMain);
    PinArguments(t, 4, 2 * kFrameStep, {2, ArrayOf(10), type, 0, 0});
    sim::MemoryBlock array;
    array.address = ArrayOf(10);
    array.bytes = {0x40, 0, 0, 0, 0x44, 0, 0, 0};
    p.memory.push_back(array);
    sim::RunResult r = RunThreadsift(m, {"-p", "120", "-w"});
    EXPECT_EQ(WaitLines(r.out), Waits(10, std::string(type == 0 ? "all" : "any") +
                                              " of: event (handle 0x40); event (handle 0x44)"))
        << type;
  }
}

}  // namespace
