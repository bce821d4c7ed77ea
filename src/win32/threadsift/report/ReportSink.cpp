#include <windows.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "threadsift/report/GroupedTextForm.h"
#include "threadsift/report/JsonForm.h"
#include "threadsift/report/ReportSink.h"
#include "threadsift/report/TextForm.h"

namespace {

int BitsOf(ProcessWidth width) { return width == Width32 ? 32 : 64; }

}  // namespace

ReportSink::ReportSink(bool json, const char* version, bool grouped) {
  record_.version = version;
  if (json) {
    form_.reset(new JsonForm(grouped));
  } else if (grouped) {
    form_.reset(new GroupedTextForm);
  } else {
    form_.reset(new TextForm);
  }
}

ReportSink::ReportSink(std::unique_ptr<ReportForm> form, const char* version) : form_(std::move(form)) {
  record_.version = version;
}

ReportSink::~ReportSink() {}

void ReportSink::Banner(const char* banner) {
  record_.banner = banner;
  Say(BannerPart);
}

void ReportSink::RunHeader(const char* computerName) {
  record_.headed = true;
  record_.computer = computerName;
  record_.time = time(NULL);
  Say(RunHeaderPart);
}

void ReportSink::EndRun() {
  form_->RunDone(record_);
  record_.failures.clear();
}

void ReportSink::BeginProcess(int pid) {
  record_.process = ReportedProcess();
  record_.process.pid = pid;
  record_.inProcess = true;
}

void ReportSink::EndProcess(bool interrupted) {
  record_.process.interrupted = interrupted;
  form_->ProcessDone(record_);
  // The width stays for what is said after the process (as before it).
  ProcessWidth width = record_.process.width;
  record_.process = ReportedProcess();
  record_.process.width = width;
  record_.inProcess = false;
}

void ReportSink::ProcessHeader(int pid, const ImageText& image, DWORD threadCount) {
  ReportedProcess& process = record_.process;
  process.pid = pid;
  process.headed = true;
  process.image = image;
  process.threadCount = threadCount;
  Say(ProcessHeaderPart);
}

void ReportSink::EmptyLine() { Say(EmptyLinePart); }

void ReportSink::ProcessWidthIs(ProcessWidth width) {
  ReportedProcess& process = record_.process;
  process.width = width;
  if (!record_.inProcess || width == kToolWidth) return;
  if (process.shownWidthBits == 0) process.widthOrder = record_.said++;
  process.shownWidthBits = BitsOf(width);
}

void ReportSink::AssumedWidth(int pid, ProcessWidth width) {
  ReportedProcess& process = record_.process;
  process.pid = pid;
  if (process.shownWidthBits == 0) process.widthOrder = record_.said++;
  process.shownWidthBits = BitsOf(width);
  process.widthAssumed = true;
  Say(AssumedWidthPart);
}

void ReportSink::ModuleListing() {
  record_.process.modulesListed = true;
  Say(ModuleListingPart);
}

void ReportSink::Module(Address base, DWORD size, const std::string& label, const char* path) {
  ReportedModule row = {base, size, label, path};
  record_.process.modules.push_back(row);
  Say(ModulePart);
}

void ReportSink::BeginThreads() {
  record_.process.threadsListed = true;
  Say(ThreadsPart);
}

void ReportSink::Thread(DWORD tid, const ThreadFigures* times) {
  ReportedThread thread;
  thread.tid = tid;
  if (times != NULL) {
    thread.timed = true;
    thread.figures = *times;
  }
  record_.process.threads.push_back(thread);
  record_.process.threadInHand = true;
  Say(ThreadPart);
}

void ReportSink::EndThread() {
  // An open frame of the thread ends with it: no thread is in hand.
  record_.process.threadInHand = false;
  Say(ThreadEndPart);
}

void ReportSink::BeginFrames() {
  if (record_.process.threadInHand) ThreadInHand().walked = true;
}

void ReportSink::SelectThread() {
  if (record_.process.threadInHand) ThreadInHand().selected = true;
}

void ReportSink::ThreadName(const ImageText& name) {
  if (!record_.process.threadInHand) return;
  ThreadInHand().named = true;
  ThreadInHand().name = name;
}

void ReportSink::ThreadIdle(IdleReason reason) {
  if (record_.process.threadInHand) ThreadInHand().idle = reason;
}

void ReportSink::FrameStart(Address pc, const char* moduleName, Address moduleBase) {
  ReportedFrame frame;
  frame.pc = pc;
  frame.inModule = moduleName != NULL;
  if (frame.inModule) {
    frame.module = moduleName;
    frame.moduleBase = moduleBase;
  }
  frame.open = true;
  // A frame said before any thread (a caller's own naming) belongs to a
  // thread of no id, which no form shows.
  if (record_.process.threads.empty()) record_.process.threads.push_back(ReportedThread());
  ThreadInHand().frames.push_back(frame);
  Say(FrameStartPart);
}

void ReportSink::FrameWithoutSymbol() {
  FrameInHand().open = false;
  Say(FrameWithoutSymbolPart);
}

void ReportSink::FrameSymbol(const char* name, const Address params[4], SymbolDisplacement displacement) {
  ReportedFrame& frame = FrameInHand();
  frame.named = true;
  frame.function = name;
  for (int i = 0; i < 4; ++i) frame.params[i] = params[i];
  frame.displacement = displacement;
  Say(FrameSymbolPart);
}

void ReportSink::FrameSource(const char* file, unsigned line) {
  ReportedFrame& frame = FrameInHand();
  frame.sourced = true;
  frame.file = file;
  frame.line = line;
  Say(FrameSourcePart);
}

void ReportSink::FrameEnd() {
  FrameInHand().open = false;
  Say(FrameEndPart);
}

void ReportSink::FrameCutShort() {
  if (FrameOpen()) FrameInHand().open = false;
  Say(FrameCutShortPart);
}

ReportedWait& ReportSink::NewWait(WaitKind kind, DWORD waiter) {
  ReportedWait& wait = ThreadInHand().wait;
  // A wait said again keeps the place of the first.
  size_t order = wait.kind == NoWait ? record_.said++ : wait.order;
  wait = ReportedWait();
  wait.kind = kind;
  wait.order = order;
  wait.waiter = waiter;
  return wait;
}

void ReportSink::SectionWait(DWORD tid, Address section, const DWORD* holder, bool holderEnded, bool loaderLock) {
  ReportedWait& wait = NewWait(SectionWaitKind, tid);
  wait.section = section;
  wait.holderKnown = holder != NULL;
  if (holder != NULL) wait.holder = *holder;
  wait.holderEnded = holderEnded;
  wait.loaderLock = loaderLock;
  Say(WaitPart);
}

void ReportSink::HandleWaitLine(DWORD tid, int pid, const HandleWait& handles) {
  ReportedWait& wait = NewWait(HandleWaitKind, tid);
  wait.pid = pid;
  wait.handles = handles;
  Say(WaitPart);
}

void ReportSink::CxxMutexWaitLine(DWORD tid, Address mutex, const DWORD* holder, bool holderEnded) {
  ReportedWait& wait = NewWait(CxxMutexWaitKind, tid);
  wait.object = mutex;
  wait.holderKnown = holder != NULL;
  if (holder != NULL) wait.holder = *holder;
  wait.holderEnded = holderEnded;
  Say(WaitPart);
}

void ReportSink::SlimLockWaitLine(DWORD tid, Address lock, bool shared, SlimLockState state, unsigned sharedCount) {
  ReportedWait& wait = NewWait(SlimLockWaitKind, tid);
  wait.object = lock;
  wait.shared = shared;
  wait.lockState = state;
  wait.sharedCount = sharedCount;
  Say(WaitPart);
}

void ReportSink::AddressWaitLine(WaitKind kind, DWORD tid, Address address) {
  ReportedWait& wait = NewWait(kind, tid);
  wait.object = address;
  Say(WaitPart);
}

void ReportSink::SendWaitLine(DWORD tid, int pid, const SentMessage& sent) {
  ReportedWait& wait = NewWait(SendWaitKind, tid);
  wait.pid = pid;
  wait.sent = sent;
  Say(WaitPart);
}

void ReportSink::Deadlocks(const std::vector<std::vector<DWORD>>& cycles) {
  ReportedProcess& process = record_.process;
  if (!process.cyclesSaid) process.cyclesOrder = record_.said++;
  process.cyclesSaid = true;
  process.cycles = cycles;
  Say(CyclesPart);
}

void ReportSink::WatchBegins(int pid, const ImageText& image, const std::string& conditions) {
  record_.watch.pid = pid;
  record_.watch.image = image;
  record_.watch.conditions = conditions;
  Say(WatchBeginPart);
}

void ReportSink::NoWindowYet() { Say(NoWindowPart); }

void ReportSink::ConditionHeld(int pid, const WatchTrigger& trigger) {
  record_.watch.triggered = true;
  record_.watch.heldPid = pid;
  record_.watch.trigger = trigger;
  Say(TriggerPart);
}

void ReportSink::EndedBeforeCondition() {
  record_.watch.endedFirst = true;
  Say(WatchEndPart);
}

void ReportSink::ProcessSeparator() { Say(ProcessSeparatorPart); }

void ReportSink::ProcessCount(int count) {
  record_.processCount = count;
  Say(ProcessCountPart);
}

void ReportSink::Interrupt() { Say(InterruptPart); }

