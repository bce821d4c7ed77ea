#include "JsonLines.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "ToolRuns.h"

char* SimCtime(const time_t* when);

namespace {

using Json = nlohmann::ordered_json;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int length = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string text(length > 0 ? (size_t)length + 1 : 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, again);
  va_end(again);
  text.resize(length > 0 ? (size_t)length : 0);
  return text;
}

// The code points of UTF-8 text (the parser has checked it).
std::vector<unsigned> CodePoints(const std::string& text) {
  std::vector<unsigned> points;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = (unsigned char)text[i];
    size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    unsigned point = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra && i + k < text.size(); ++k)
      point = (point << 6) | ((unsigned char)text[i + k] & 0x3F);
    points.push_back(point);
    i += extra + 1;
  }
  return points;
}

// UTF-16 text as the platform converts it to the ANSI code page: a unit
// past 0xFF reads '?'. As the run-time's "%S" prints it (an image name),
// the text stops at the first such unit.
std::string Narrow(const std::string& text, bool cutAtUnconvertible = false) {
  std::string narrow;
  for (unsigned point : CodePoints(text)) {
    if (point < 0x100) {
      narrow += (char)point;
    } else if (cutAtUnconvertible) {
      break;
    } else {
      narrow += point < 0x10000 ? "?" : "??";
    }
  }
  return narrow;
}

// Target text as a line of the text report shows it: narrowed, each
// control character a question mark.
std::string LineText(const std::string& text) {
  std::string shown = Narrow(text);
  for (char& c : shown) {
    if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

std::string Digits(const std::string& hex) { return hex.rfind("0x", 0) == 0 ? hex.substr(2) : hex; }

unsigned long long HexValue(const Json& hex) { return std::strtoull(hex.get<std::string>().c_str(), nullptr, 16); }

typedef std::vector<std::string> Alternatives;  // the lines one failure may read as

// Walks the text along the JSON: each piece the JSON stands for must come
// next in the text; failure lines pending in the thread, process or run in
// hand may come before it. The text prints process and thread ids as signed
// numbers; the JSON carries the platform's unsigned value.
class Comparison {
 public:
  Comparison(const std::string& text, DWORD selfPid) : text_(text), selfPid_(selfPid) {}

  std::string Run(const std::vector<Json>& lines);

 private:
  bool Fail(const std::string& what) {
    if (problem_.empty()) {
      problem_ =
          what + " at byte " + std::to_string(pos_) + " of the text, which reads \"" + text_.substr(pos_, 120) + "\"";
    }
    return false;
  }
  bool Take(const std::string& piece) {
    if (text_.compare(pos_, piece.size(), piece) != 0) return false;
    pos_ += piece.size();
    return true;
  }
  bool TakePendingFailure() {
    for (std::vector<Alternatives>* scope : {&threadErrors_, &processErrors_, &runErrors_}) {
      if (scope->empty()) continue;
      for (const std::string& line : scope->front()) {
        if (Take(line)) {
          scope->erase(scope->begin());
          return true;
        }
      }
    }
    return false;
  }
  bool Expect(const std::string& piece) {
    while (!Take(piece)) {
      if (!TakePendingFailure()) return Fail("expected \"" + piece + "\"");
    }
    return true;
  }
  bool Drain(const std::vector<Alternatives>& scope, const char* what) {
    while (!scope.empty()) {
      if (!TakePendingFailure()) return Fail(std::string("expected the ") + what + " failure \"" + scope[0][0] + "\"");
    }
    return true;
  }

  Alternatives FailureLines(const Json& e, DWORD tid, DWORD pid) const;
  std::vector<Alternatives> Failures(const Json& owner, DWORD tid, DWORD pid) const;
  bool CompareProcess(const Json& p);
  bool CompareThread(const Json& t, const Json& p);
  std::string FrameLine(const Json& frame, const Json& p, const Json* failure);

  const std::string& text_;
  DWORD selfPid_;
  size_t pos_ = 0;
  std::string problem_;
  std::vector<Alternatives> runErrors_, processErrors_, threadErrors_;
};

Alternatives Comparison::FailureLines(const Json& e, DWORD tid, DWORD pid) const {
  std::string step = e.at("step").get<std::string>();
  long long code = e.at("code").get<long long>();
  if (step == "WalkThread") return {Format("WalkThread %d error %d\n", (int)tid, (int)code)};
  if (step == "WalkProcess" && e.contains("machine")) {
    return {Format("Process %d (0x%x) is built for machine 0x%04x, which threadsift does not walk\n", (int)pid, pid,
                   e["machine"].get<unsigned>())};
  }
  if (step == "WalkProcess") {
    return {Format("Process %d (0x%x) is a 64-bit process: the 64-bit threadsift walks it\n", (int)pid, pid)};
  }
  if (step == "Wow64GetThreadContext" && e.contains("layer_thread")) {
    return {Format("Thread %d (0x%x) is a thread of the platform's 64-bit layer: it has no 32-bit registers; its frames "
                   "are not shown\n",
                   (int)tid, tid)};
  }
  if (step == "Wow64GetThreadContext" && e.contains("reads")) {
    return {Format("Thread %d (0x%x): its 32-bit registers did not hold still in %d reads; its frames are not shown\n",
                   (int)tid, tid, e.at("reads").get<int>())};
  }
  if (step == "EnumProcessThreads") {
    return {Format("[%d] EnumProcessThreads pid %d error %d\n", (int)selfPid_, (int)pid, (int)code)};
  }
  if (e.contains("ret_len")) {
    return {Format("%s error %08x, ret_len: %u\n", step.c_str(), (unsigned)code, e["ret_len"].get<unsigned>())};
  }
  if (step == "NtQuerySystemInformation") return {"ERROR: 16 MB maximum buffer size exceeded\n"};
  if (step == "allocate") {
    size_t bytes = e.at("bytes").get<size_t>();
    return {Format("FATAL: failed to allocate %d byte(s)\n", (int)bytes),
            Format("FATAL: allocate %u byte(s) failed\n", (unsigned)bytes)};
  }
  if (e.contains("name")) {
    return {Format("%s %s error %d\n", step.c_str(), AnsiFromUtf8(e["name"].get<std::string>()).c_str(), (int)code)};
  }
  return {Format("%s error %d\n", step.c_str(), (int)code)};
}

// The failures of a process or thread that stand on lines of their own.
std::vector<Alternatives> Comparison::Failures(const Json& owner, DWORD tid, DWORD pid) const {
  std::vector<Alternatives> lines;
  if (!owner.contains("errors")) return lines;
  for (const Json& e : owner["errors"]) {
    if (!e.contains("frame")) lines.push_back(FailureLines(e, tid, pid));
  }
  return lines;
}

std::string Comparison::FrameLine(const Json& frame, const Json& p, const Json* failure) {
  std::string offset = frame.at("offset").get<std::string>();
  std::string line = Digits(offset) + " = ";
  if (!frame.at("module").is_null()) {
    line += Format("%12s!", AnsiFromUtf8(frame["module"].get<std::string>()).c_str());
    unsigned long long base = HexValue(frame["offset"]) - HexValue(frame.at("module_offset"));
    bool listed = false;
    for (const Json& module : p.at("modules")) {
      listed = listed ||
               (HexValue(module["base_addr"]) == base && HexValue(module["end_addr"]) >= HexValue(frame["offset"]));
    }
    if (!listed) Fail("frame " + offset + " lies in no listed module at its module offset");
  } else if (!frame.at("module_offset").is_null()) {
    Fail("frame " + offset + " has a module offset but no module");
  }
  if (failure != nullptr) {
    return line + Format("%s error %d\n", (*failure)["step"].get<std::string>().c_str(), (*failure)["code"].get<int>());
  }
  if (frame.at("function").is_null()) {
    if (!frame.at("args").is_null() || !frame.at("file").is_null())
      Fail("frame " + offset + " without symbol has more");
    return line + Digits(offset) + "()\n";
  }
  line += AnsiFromUtf8(frame["function"].get<std::string>()) + "(";
  const Json& args = frame.at("args");
  for (size_t i = 0; i < args.size(); ++i) line += (i == 0 ? "" : ",") + Digits(args[i].get<std::string>());
  line += ")";
  unsigned long long displacement = HexValue(frame.at("function_offset"));
  if (displacement != 0) line += Format("%+d", (int)displacement);
  if (!frame.at("file").is_null()) {
    line += " " + AnsiFromUtf8(frame["file"].get<std::string>()) + Format("(%u)", frame.at("line").get<unsigned>());
  }
  return line + "\n";
}

// A wait on an object at an address, as its text line says it after the
// thread.
std::string AddressWaitText(const Json& wait) {
  std::string kind = wait.at("kind").get<std::string>(), address = wait.at("address").get<std::string>();
  if (kind == "condition_variable") return "waits on condition variable " + address;
  if (kind == "address") return "waits for the value at " + address + " to change";
  if (kind == "cpp_mutex") {
    if (wait.at("holder").is_null()) return "waits for C++ mutex " + address + " whose holder is unknown";
    DWORD holder = wait["holder"].get<DWORD>();
    std::string ended = wait.at("holder_ended").get<bool>() ? ", which has ended" : "";
    return "waits for C++ mutex " + address + Format(" held by thread %d (0x%x)", (int)holder, holder) + ended;
  }
  std::string text = "waits for slim lock " + address + " (" + wait.at("mode").get<std::string>() + ")";
  std::string state = wait.at("state").get<std::string>();
  if (!wait.at("holder").is_null()) return text + " with a holder";  // a slim lock records none
  if (state == "held_exclusively") return text + ", held exclusively; its holder is not recorded";
  if (state == "held") return text + ", held; its holder is not recorded";
  if (state == "free") return text + ", which is free now";
  if (state != "held_shared") return text + ", whose state cannot be read";
  if (wait.at("shared_count").is_null()) return text + ", held shared";
  unsigned count = wait["shared_count"].get<unsigned>();
  return text + Format(", held shared by %u thread%s", count, count == 1 ? "" : "s");
}

// A message a thread of process pid sent, as its text line says it after
// "waits for ".
std::string SentMessageText(const Json& wait, DWORD pid) {
  DWORD receiver = wait.at("thread").get<DWORD>(), process = wait.at("process").get<DWORD>();
  std::string text = Format("thread %d (0x%x)", (int)receiver, receiver);
  if (process != pid) text += Format(" of process %d (0x%x)", (int)process, process);
  text += " to answer a message to window " + wait.at("window").get<std::string>();
  if (!wait.at("class").is_null()) text += " (\"" + LineText(wait["class"].get<std::string>()) + "\")";
  return text;
}

// The text of a wait on handles of process pid, from its JSON members.
std::string HandleWaitText(const Json& wait, DWORD pid) {
  std::string mode = wait.at("mode").get<std::string>();
  std::string text = mode == "all" ? "all of: " : mode == "any" ? "any of: " : mode == "all_or_any" ? "all or any of: " : "";
  bool first = true;
  for (const Json& object : wait.at("objects")) {
    if (!first) text += "; ";
    first = false;
    if (object.contains("uncertain") && object["uncertain"].get<bool>()) text += "perhaps ";
    std::string kind = object.at("kind").get<std::string>();
    std::string handle = object.at("handle").get<std::string>();
    if (kind == "handle") {
      text += "handle " + handle;
    } else if (kind == "thread") {
      DWORD id = object.at("thread").get<DWORD>(), process = object.at("process").get<DWORD>();
      text += Format("thread %d (0x%x)", (int)id, id);
      if (process != pid) text += Format(" of process %d (0x%x)", (int)process, process);
      text += " to end";
    } else if (kind == "process") {
      DWORD id = object.at("process").get<DWORD>();
      text += Format("process %d (0x%x) to end", (int)id, id);
    } else {
      text += kind + " " +
              (object.contains("name") ? "\"" + LineText(object["name"].get<std::string>()) + "\""
                                       : "(handle " + handle + ")");
      if (kind == "mutex") {
        if (object.at("abandoned").get<bool>()) {
          text += ", which was abandoned";
        } else if (object.at("holder").is_null()) {
          text += ", whose holder is unknown";
        } else {
          DWORD holder = object["holder"].get<DWORD>();
          text += Format(" held by thread %d (0x%x)", (int)holder, holder);
          DWORD holderProcess = object.contains("holder_process") ? object["holder_process"].get<DWORD>() : 0;
          if (holderProcess != 0 && holderProcess != pid) text += Format(" of process %d (0x%x)", (int)holderProcess, holderProcess);
        }
      }
    }
  }
  return text;
}

bool Comparison::CompareThread(const Json& t, const Json& p) {
  DWORD tid = t.at("thread_id").get<DWORD>();
  threadErrors_ = Failures(t, tid, p["pid"].get<DWORD>());
  std::string line = Format("Thread %d (0x%x)", (int)tid, tid);
  if (t.contains("cpu_ms")) {
    unsigned long long ms = t["cpu_ms"].get<unsigned long long>();
    line += Format("  cpu %u.%03u s  ", (unsigned)(ms / 1000), (unsigned)(ms % 1000));
    line +=
        t.at("ended").get<bool>() ? std::string("ended") : Format("busy %u%%", t.at("busy_percent").get<unsigned>());
  }
  if (!Expect(line + "\n")) return false;
  if (!t.at("frames").is_null()) {
    const Json& frames = t["frames"];
    for (size_t i = 0; i < frames.size(); ++i) {
      if (frames[i].at("frame").get<size_t>() != i) return Fail("frame numbered out of turn");
      const Json* failure = nullptr;
      if (t.contains("errors")) {
        for (const Json& e : t["errors"]) {
          if (e.contains("frame") && e["frame"].get<size_t>() == i) failure = &e;
        }
      }
      if (!Expect(FrameLine(frames[i], p, failure))) return false;
    }
  }
  if (t.contains("waits_for")) {
    const Json& wait = t["waits_for"];
    std::string waits = Format("Thread %d (0x%x) waits for ", (int)tid, tid);
    if (wait.contains("kind") && wait["kind"] == "message") {
      waits += SentMessageText(wait, p.at("pid").get<DWORD>());
    } else if (wait.contains("kind")) {
      waits = Format("Thread %d (0x%x) ", (int)tid, tid) + AddressWaitText(wait);
    } else if (wait.contains("objects")) {
      waits += HandleWaitText(wait, p.at("pid").get<DWORD>());
    } else {
      waits += "critical section " + wait.at("critical_section").get<std::string>();
      if (wait.contains("loader_lock") && wait["loader_lock"].get<bool>()) waits += " (the loader lock)";
      if (wait.at("holder").is_null()) {
        waits += " whose holder is unknown";
      } else {
        DWORD holder = wait["holder"].get<DWORD>();
        waits += Format(" held by thread %d (0x%x)", (int)holder, holder);
        if (wait.at("holder_ended").get<bool>()) waits += ", which has ended";
      }
    }
    if (!Expect(waits + "\n")) return false;
  }
  return Expect("\n") && Drain(threadErrors_, "thread's");
}

bool Comparison::CompareProcess(const Json& p) {
  DWORD pid = p.at("pid").get<DWORD>();
  processErrors_ = Failures(p, 0, pid);
  if (p.contains("process_width_assumed")) {
    // Said right after the failed read of the main image's header.
    auto read = processErrors_.begin();
    while (read != processErrors_.end() && (*read)[0].rfind("ReadImageMachine ", 0) != 0) ++read;
    if (read != processErrors_.end()) ++read;
    processErrors_.insert(read, {Format("Process %d (0x%x) is walked as a %d-bit process: its main image's header "
                                        "cannot be read\n",
                                        (int)pid, pid, p.at("process_width").get<int>())});
  }
  threadErrors_.clear();
  if (!p.at("image").is_null()) {
    std::string header = Format("Process %d (0x%x)  ", (int)pid, pid) + Narrow(p["image"].get<std::string>(), true) +
                         Format(" %d thread(s)\n", p.at("thread_count").get<int>());
    if (!Expect(header)) return false;
  }
  bool listing = !p.at("modules").is_null();
  for (const Alternatives& failure : processErrors_) {
    listing = listing || failure[0].rfind("EnumProcessModules ", 0) == 0 ||
              failure[0].rfind("ReadImageMachine ", 0) == 0 || failure[0].rfind("Process ", 0) == 0;
  }
  if (listing && !Expect("\n")) return false;
  if (!p["modules"].is_null()) {
    bool thirtyTwo = p.contains("process_width") ? p["process_width"] == 32 : sizeof(void*) == 4;
    if (!Expect(thirtyTwo ? kListingHeader32 : kListingHeader64)) return false;
    for (const Json& module : p["modules"]) {
      std::string label =
          module.at("version").is_null() ? "-.--.----.----" : AnsiFromUtf8(module["version"].get<std::string>());
      if (label.size() < 14) label.resize(14, ' ');  // the text pads a maker's label to a file version's width
      std::string row = module.at("base_addr").get<std::string>() + "  " + module.at("end_addr").get<std::string>() +
                        Format("  0x%08x %15s  ", module.at("size").get<unsigned>(), label.c_str()) +
                        AnsiFromUtf8(module.at("filename").get<std::string>()) + "\n";
      if (!Expect(row)) return false;
    }
  }
  if (!p.at("threads").is_null()) {
    if (!Expect("\n")) return false;
    for (const Json& t : p["threads"]) {
      if (!CompareThread(t, p)) return false;
    }
  }
  if (p.contains("deadlocks") && !p["deadlocks"].empty()) {
    for (const Json& cycle : p["deadlocks"]) {
      std::string line = "Deadlock: ";
      for (const Json& t : cycle) line += Format("thread %d (0x%x) -> ", (int)t.get<DWORD>(), t.get<DWORD>());
      DWORD first = cycle.at(0).get<DWORD>();
      if (!Expect(line + Format("thread %d (0x%x)\n", (int)first, first))) return false;
    }
    if (!Expect("\n")) return false;
  }
  return Drain(processErrors_, "process's");
}

std::string Comparison::Run(const std::vector<Json>& lines) {
  if (lines.empty()) return "no JSON line";
  const Json& run = lines[0];
  for (const Json& line : lines) {
    for (const char* field : {"tool", "version", "pointer_width", "computer", "time"}) {
      if (line.at(field) != run.at(field)) return std::string("lines differ in their run field ") + field;
    }
    if (!line.contains("pid")) {
      for (const Alternatives& failure : Failures(line, 0, 0)) runErrors_.push_back(failure);
    }
  }
  if (run["tool"] != "threadsift" || run["pointer_width"] != (int)sizeof(void*) * 8) return "wrong tool or width";
  if (!Expect("threadsift v" + run["version"].get<std::string>() +
              " - Copyright (c) 2026 the threadsift developers\n\n")) {
    return problem_;
  }
  if (!run["computer"].is_null()) {
    struct tm parts = {};
    if (std::sscanf(run.at("time").get<std::string>().c_str(), "%d-%d-%dT%d:%d:%dZ", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
      return "time not in ISO 8601";
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    time_t when = timegm(&parts);
    if (!Expect("Checking computer " + AnsiFromUtf8(run["computer"].get<std::string>()) + " on " + SimCtime(&when) +
                "\n")) {
      return problem_;
    }
  }
  bool interrupted = false;
  for (const Json& line : lines) {
    if (!line.contains("pid")) continue;
    if (interrupted) return "a process line follows the interrupted one";
    if (!CompareProcess(line)) return problem_;
    interrupted = line.value("interrupted", false);
    Take(kSeparator);
  }
  // The sweep's count line.
  size_t digits = pos_;
  while (digits < text_.size() && text_[digits] >= '0' && text_[digits] <= '9') ++digits;
  if (digits > pos_ && text_.compare(digits, 19, " process(es) found\n") == 0) pos_ = digits + 19;
  if (interrupted && !Expect("\n* Interrupt *\n")) return problem_;
  if (!Drain(runErrors_, "run's")) return problem_;
  if (pos_ != text_.size()) Fail("the text goes on");
  return problem_;
}

}  // namespace

bool ParseJsonLines(const std::string& out, std::vector<nlohmann::ordered_json>* lines, std::string* problem) {
  lines->clear();
  if (!out.empty() && out.back() != '\n') {
    *problem = "the output does not end with a line end";
    return false;
  }
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end - start);
    try {
      lines->push_back(nlohmann::ordered_json::parse(line));
    } catch (const nlohmann::json::exception& e) {
      *problem = "line " + std::to_string(lines->size() + 1) + " does not parse: " + e.what();
      return false;
    }
    if (!lines->back().is_object()) {
      *problem = "line " + std::to_string(lines->size()) + " is no object";
      return false;
    }
    start = end + 1;
  }
  return true;
}

std::string CompareJsonWithText(const std::string& json, const std::string& text, DWORD selfPid) {
  std::vector<Json> lines;
  std::string problem;
  if (!ParseJsonLines(json, &lines, &problem)) return problem;
  try {
    return Comparison(text, selfPid).Run(lines);
  } catch (const nlohmann::json::exception& e) {
    return std::string("a field is missing or of the wrong type: ") + e.what();
  }
}

std::string AnsiFromUtf8(const std::string& text) {
  std::string ansi;
  for (unsigned point : CodePoints(text)) ansi += point < 0x100 ? (char)point : '?';
  return ansi;
}
