// The library comes first: on the simulated platform <windows.h> turns the
// run-time's names (malloc, free, printf, time) into macros.
#include <nlohmann/json.hpp>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "threadsift/report/JsonForm.h"
#include "threadsift/report/ThreadGroups.h"

namespace {

// Members stay in the order they are set, so that a line reads like the report.
typedef nlohmann::ordered_json Json;

// The time in ISO 8601, UTC; null when the run-time cannot break it down.
Json IsoTime(time_t when) {
  const struct tm* parts = gmtime(&when);
  if (parts == NULL) return nullptr;
  // Room for any year the run-time can give.
  char text[64];
  snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", parts->tm_year + 1900, parts->tm_mon + 1,
           parts->tm_mday, parts->tm_hour, parts->tm_min, parts->tm_sec);
  return text;
}

// One line of JSON. Text that is not UTF-8 after all is replaced, never
// thrown over. Each line is written out at once, so that a reader of a
// sweep gets every process as soon as it is walked, and a run that is cut
// short leaves whole lines.
void WriteLine(const Json& line) {
  std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  printf("%s\n", text.c_str());
  fflush(stdout);
}

// The condition of -a that held, and its figures.
Json TriggerJson(const WatchTrigger& trigger) {
  Json held = Json::object();
  switch (trigger.condition) {
    case HungCondition:
      held["condition"] = "hung";
      held["ms"] = trigger.ms;
      held["thread"] = trigger.tid != 0 ? Json(trigger.tid) : Json(nullptr);
      break;
    case DeadlockCondition:
      held["condition"] = "deadlock";
      held["ms"] = trigger.ms;
      held["threads"] = trigger.cycle;
      break;
    case CpuCondition:
      held["condition"] = "cpu";
      held["percent"] = trigger.percent;
      held["seconds"] = trigger.seconds;
      break;
  }
  return held;
}

Json RunMembers(const ReportRecord& record) {
  Json run = Json::object();
  run["tool"] = "threadsift";
  run["version"] = record.version;
  run["pointer_width"] = (int)(sizeof(void*) * 8);
  run["computer"] = record.headed ? Json(Utf8FromAnsi(record.computer.c_str())) : Json(nullptr);
  run["time"] = record.headed ? IsoTime(record.time) : Json(nullptr);
  if (record.watch.triggered) run["trigger"] = TriggerJson(record.watch.trigger);
  return run;
}

// JSON numbers lose 64-bit values: addresses are strings, as wide as the
// process's.
Json HexText(const ReportedProcess& process, Address value) { return "0x" + AddressDigits(value, process.width); }

Json FailureJson(const ReportedFailure& failure) {
  Json member;
  member["step"] = failure.step;
  member["code"] = failure.code;
  if (failure.named) member["name"] = Utf8FromAnsi(failure.name.c_str());
  if (failure.form == StatusFailed) member["ret_len"] = failure.returned;
  if (failure.form == AllocationFailed || failure.form == VersionAllocationFailed) member["bytes"] = failure.bytes;
  if (failure.form == RegistersUnsteady) member["reads"] = failure.reads;
  if (failure.form == LayerThread) member["layer_thread"] = true;
  if (failure.form == OtherMachine) member["machine"] = failure.machine;
  if (failure.frame >= 0) member["frame"] = failure.frame;
  return member;
}

Json FailuresJson(const std::vector<ReportedFailure>& failures) {
  Json list = Json::array();
  for (const ReportedFailure& failure : failures) list.push_back(FailureJson(failure));
  return list;
}

const char* WaitModeName(WaitMode mode) {
  switch (mode) {
    case WaitsForAll:
      return "all";
    case WaitsForAny:
      return "any";
    case WaitsForAllOrAny:
      return "all_or_any";
    case WaitsForOne:
      break;
  }
  return "one";
}

Json WaitedObjectJson(const WaitedObject& object) {
  Json member;
  char handle[32];
  snprintf(handle, sizeof(handle), "0x%x", (unsigned)object.handle);
  member["handle"] = handle;
  member["kind"] = ObjectKindName(object.kind);
  if (object.uncertain) member["uncertain"] = true;
  if (object.kind == HandleOnly) return member;
  if (!object.name.empty()) member["name"] = Utf8FromWide(object.name.data(), object.name.size());
  if (object.kind == ThreadObject) {
    member["thread"] = object.id;
    member["process"] = object.process;
  }
  if (object.kind == ProcessObject) member["process"] = object.id;
  if (object.kind == MutexObject) {
    member["holder"] = object.holderKnown && !object.abandoned ? Json(object.holder) : Json(nullptr);
    if (object.holderKnown && object.holderProcess != 0) member["holder_process"] = object.holderProcess;
    member["abandoned"] = object.abandoned;
  }
  return member;
}

const char* SlimLockStateName(SlimLockState state) {
  switch (state) {
    case SlimLockFree:
      return "free";
    case SlimLockHeldExclusively:
      return "held_exclusively";
    case SlimLockHeldShared:
      return "held_shared";
    case SlimLockHeld:
      return "held";
    case SlimLockUnreadable:
      break;
  }
  return "unknown";
}

// A wait on an object at an address: its kind and address; for a C++
// mutex its holder, for a slim lock how it is asked for and held (a slim
// lock records no holder).
Json AddressWaitJson(const ReportedProcess& process, const ReportedWait& wait) {
  Json members;
  const char* kind = wait.kind == CxxMutexWaitKind   ? "cpp_mutex"
                     : wait.kind == SlimLockWaitKind  ? "slim_lock"
                     : wait.kind == ConditionWaitKind ? "condition_variable"
                                                      : "address";
  members["kind"] = kind;
  members["address"] = HexText(process, wait.object);
  if (wait.kind == CxxMutexWaitKind) {
    members["holder"] = wait.holderKnown ? Json(wait.holder) : Json(nullptr);
    members["holder_ended"] = wait.holderEnded;
    return members;
  }
  if (wait.kind != SlimLockWaitKind) return members;
  members["mode"] = wait.shared ? "shared" : "exclusive";
  members["state"] = SlimLockStateName(wait.lockState);
  members["shared_count"] = wait.sharedCount != 0 ? Json(wait.sharedCount) : Json(nullptr);
  members["holder"] = nullptr;
  return members;
}

// A message sent: the window, its class (null when unknown), and the
// thread that answers for it, with that thread's process.
Json SendWaitJson(const ReportedWait& wait) {
  Json members;
  char window[32];
  snprintf(window, sizeof(window), "0x%x", (unsigned)wait.sent.window);
  members["kind"] = "message";
  members["window"] = window;
  const ImageText& windowClass = wait.sent.windowClass;
  members["class"] = windowClass.empty() ? Json(nullptr) : Json(Utf8FromWide(windowClass.data(), windowClass.size()));
  members["thread"] = wait.sent.receiver;
  members["process"] = wait.sent.receiverProcess;
  return members;
}

Json WaitJson(const ReportedProcess& process, const ReportedWait& wait) {
  Json members;
  if (wait.kind == SendWaitKind) return SendWaitJson(wait);
  if (wait.kind != NoWait && wait.kind != SectionWaitKind && wait.kind != HandleWaitKind) {
    return AddressWaitJson(process, wait);
  }
  if (wait.kind == SectionWaitKind) {
    members["critical_section"] = HexText(process, wait.section);
    members["holder"] = wait.holderKnown ? Json(wait.holder) : Json(nullptr);
    members["holder_ended"] = wait.holderEnded;
    if (wait.loaderLock) members["loader_lock"] = true;
    return members;
  }
  Json objects = Json::array();
  for (const WaitedObject& object : wait.handles.objects) objects.push_back(WaitedObjectJson(object));
  members["mode"] = WaitModeName(wait.handles.mode);
  members["objects"] = objects;
  return members;
}

Json FrameJson(const ReportedProcess& process, const ReportedFrame& frame, size_t index) {
  Json member;
  member["frame"] = index;
  member["offset"] = HexText(process, frame.pc);
  member["module"] = frame.inModule ? Json(Utf8FromAnsi(frame.module.c_str())) : Json(nullptr);
  member["module_offset"] = frame.inModule ? HexText(process, frame.pc - frame.moduleBase) : Json(nullptr);
  member["function"] = frame.named ? Json(Utf8FromAnsi(frame.function.c_str())) : Json(nullptr);
  member["function_offset"] = frame.named ? HexText(process, (Address)frame.displacement) : Json(nullptr);
  Json args = nullptr;
  if (frame.named) {
    args = Json::array();
    for (int i = 0; i < 4; ++i) args.push_back(HexText(process, frame.params[i]));
  }
  member["args"] = args;
  member["file"] = frame.sourced ? Json(Utf8FromAnsi(frame.file.c_str())) : Json(nullptr);
  member["line"] = frame.sourced ? Json(frame.line) : Json(nullptr);
  return member;
}

// Members that are there only once said, in the order said.
typedef std::vector<std::pair<size_t, std::pair<const char*, Json>>> LateMembers;

void AddLateMembers(LateMembers late, Json* owner) {
  std::stable_sort(late.begin(), late.end(),
                   [](const LateMembers::value_type& a, const LateMembers::value_type& b) { return a.first < b.first; });
  for (const LateMembers::value_type& member : late) {
    (*owner)[member.second.first] = member.second.second;
  }
}

Json ThreadJson(const ReportedProcess& process, const ReportedThread& thread) {
  Json member;
  member["thread_id"] = thread.tid;
  if (thread.named) member["name"] = Utf8FromWide(thread.name.data(), thread.name.size());
  if (thread.timed) {
    member["cpu_ms"] = thread.figures.milliseconds;
    member["busy_percent"] = thread.figures.ended ? Json(nullptr) : Json(thread.figures.busy);
    member["ended"] = thread.figures.ended;
  }
  Json frames = nullptr;
  if (thread.walked || !thread.frames.empty()) {
    frames = Json::array();
    for (size_t i = 0; i < thread.frames.size(); ++i) frames.push_back(FrameJson(process, thread.frames[i], i));
  }
  member["frames"] = frames;
  if (thread.idle != NotIdle) member["idle"] = IdleReasonText(thread.idle);
  LateMembers late;
  if (!thread.failures.empty()) late.push_back({thread.failures[0].order, {"errors", FailuresJson(thread.failures)}});
  if (thread.wait.kind != NoWait) late.push_back({thread.wait.order, {"waits_for", WaitJson(process, thread.wait)}});
  AddLateMembers(late, &member);
  return member;
}

// The groups as the grouped text gives them: arrays of thread ids.
Json GroupsJson(const ReportedProcess& process) {
  Json groups = Json::array();
  for (const ThreadGroup& group : GroupThreads(process)) {
    Json ids = Json::array();
    for (size_t at : group.members) ids.push_back(process.threads[at].tid);
    groups.push_back(ids);
  }
  return groups;
}

Json ProcessJson(const ReportRecord& record, bool grouped) {
  const ReportedProcess& process = record.process;
  Json line = RunMembers(record);
  line["pid"] = process.pid;
  line["image"] = process.headed ? Json(Utf8FromWide(process.image.data(), process.image.size())) : Json(nullptr);
  line["thread_count"] = process.headed ? Json(process.threadCount) : Json(nullptr);
  Json modules = nullptr;
  if (process.modulesListed || !process.modules.empty()) {
    modules = Json::array();
    for (const ReportedModule& row : process.modules) {
      Json module;
      module["base_addr"] = HexText(process, row.base);
      module["end_addr"] = HexText(process, row.base + row.size - 1);
      module["size"] = row.size;
      module["version"] = row.label == kNoVersionLabel ? Json(nullptr) : Json(Utf8FromAnsi(row.label.c_str()));
      module["filename"] = Utf8FromAnsi(row.path.c_str());
      modules.push_back(module);
    }
  }
  line["modules"] = modules;
  Json threads = nullptr;
  if (process.threadsListed || !process.threads.empty()) {
    threads = Json::array();
    for (const ReportedThread& thread : process.threads) threads.push_back(ThreadJson(process, thread));
  }
  line["threads"] = threads;
  if (grouped && process.threadsListed) line["groups"] = GroupsJson(process);
  LateMembers late;
  if (process.shownWidthBits != 0) {
    late.push_back({process.widthOrder, {"process_width", process.shownWidthBits}});
    if (process.widthAssumed) late.push_back({process.widthOrder, {"process_width_assumed", true}});
  }
  if (!process.failures.empty()) late.push_back({process.failures[0].order, {"errors", FailuresJson(process.failures)}});
  if (process.cyclesSaid) late.push_back({process.cyclesOrder, {"deadlocks", process.cycles}});
  AddLateMembers(late, &line);
  if (process.interrupted) line["interrupted"] = true;
  return line;
}

}  // namespace

void JsonForm::ProcessDone(const ReportRecord& record) { WriteLine(ProcessJson(record, grouped_)); }

void JsonForm::RunDone(const ReportRecord& record) {
  if (record.failures.empty() && !record.watch.endedFirst) return;
  Json line = RunMembers(record);
  if (record.watch.endedFirst) {
    line["pid"] = record.watch.pid;
    line["ended_before_trigger"] = true;
  }
  if (!record.failures.empty()) line["errors"] = FailuresJson(record.failures);
  WriteLine(line);
}
