#include "Stacks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>

#include "Settings.h"

namespace e2e {
namespace {

struct ChainFrame {
  const char* function;
  const char* source;  // file name in the fixture's source folder
  // A function whose address the frame takes as its first argument, before
  // the worker's record; null when the worker's record comes first.
  const char* passedFunction;
};

// Innermost first.
const ChainFrame kWorkerChain[] = {{"FixtureLevelThree", "fixture.cpp", nullptr},
                                   {"FixtureLevelTwo", "fixture.cpp", nullptr},
                                   {"RelayCall", "fixrelay.cpp", "FixtureLevelTwo"},
                                   {"FixtureLevelOne", "fixture.cpp", nullptr},
                                   {"FixtureWorker", "fixture.cpp", nullptr}};

// Stands for an argument word whose value the test does not know.
const char kAnyDigit = '?';

// The number of the line that carries "// frame: <function>" in the source; 0 if none.
unsigned MarkerLine(const std::string& source, const std::string& function) {
  std::ifstream in(TheSettings().fixtureSources + "/" + source);
  std::string line;
  const std::string marker = "// frame: " + function;
  for (unsigned number = 1; std::getline(in, line); ++number) {
    size_t at = line.find(marker);
    if (at != std::string::npos && at + marker.size() == line.size()) return number;
  }
  return 0;
}

// "%12s!" with the base name of the fixture's module that holds the address.
std::string ModuleText(const Fixture& fixture, uint64_t pc) {
  for (const FixtureModule& module : fixture.Modules()) {
    if (module.base <= pc && pc - module.base < module.size) {
      char text[300];
      snprintf(text, sizeof(text), "%12s!", BaseName(module.path).c_str());
      return text;
    }
  }
  return "";
}

// The four argument words. Wine's StackWalk64 leaves them 0 on x64; the
// 32-bit StackWalk reads them from the frame, where the first ones are the
// arguments the chain passes and the rest are whatever the caller's frame
// holds there.
std::string ExpectedArguments(const Fixture& fixture, const ChainFrame& frame, unsigned tid) {
  std::vector<std::string> words;
  if (TheSettings().width == 32) {
    if (frame.passedFunction != nullptr) words.push_back(AddressText(fixture.FunctionStart(frame.passedFunction)));
    words.push_back(AddressText(fixture.ChainArgument(tid)));
  }
  while (words.size() < 4) {
    words.push_back(TheSettings().width == 32 ? std::string(8, kAnyDigit) : AddressText(0));
  }
  return "(" + words[0] + "," + words[1] + "," + words[2] + "," + words[3] + ")";
}

std::string ExpectedFrameLine(const Fixture& fixture, const ChainFrame& frame, uint64_t pc, unsigned tid) {
  std::string line =
      AddressText(pc) + " = " + ModuleText(fixture, pc) + frame.function + ExpectedArguments(fixture, frame, tid);
  int displacement = (int)(pc - fixture.FunctionStart(frame.function));
  if (displacement != 0) {
    char text[16];
    snprintf(text, sizeof(text), "%+d", displacement);
    line += text;
  }
  std::string file = WindowsPath(TheSettings().fixtureSources + "/" + frame.source);
  return line + " " + file + "(" + std::to_string(MarkerLine(frame.source, frame.function)) + ")";
}

// The line is the expected one, where each unknown digit may be any hexadecimal digit.
bool MatchesExpected(const std::string& line, const std::string& expected) {
  if (line.size() != expected.size()) return false;
  for (size_t i = 0; i < line.size(); ++i) {
    bool any = expected[i] == kAnyDigit && isxdigit((unsigned char)line[i]) && !isupper((unsigned char)line[i]);
    if (!any && line[i] != expected[i]) return false;
  }
  return true;
}

}  // namespace

::testing::AssertionResult IsStack(const Lines& stack) {
  if (stack.empty()) return ::testing::AssertionFailure() << "no frame lines";
  for (const std::string& line : stack) {
    if (!IsFrameLine(line)) return ::testing::AssertionFailure() << "not a frame line: [" << line << "]";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ShowsWorkerChain(const Lines& stack, const Fixture& fixture, unsigned tid) {
  const std::string innermost = std::string("!") + kWorkerChain[0].function + "(";
  auto first = std::find_if(stack.begin(), stack.end(),
                            [&](const std::string& line) { return line.find(innermost) != std::string::npos; });
  size_t at = first - stack.begin();
  for (const ChainFrame& frame : kWorkerChain) {
    if (MarkerLine(frame.source, frame.function) == 0 || fixture.FunctionStart(frame.function) == 0) {
      return ::testing::AssertionFailure() << "the fixture tells nothing of " << frame.function;
    }
    if (fixture.ChainArgument(tid) == 0) return ::testing::AssertionFailure() << "the fixture tells nothing of " << tid;
    if (at >= stack.size()) return ::testing::AssertionFailure() << "no frame of " << frame.function << " in the stack";
    std::optional<uint64_t> pc = FramePc(stack[at]);
    std::string expected = ExpectedFrameLine(fixture, frame, pc.value_or(0), tid);
    if (!pc || !MatchesExpected(stack[at], expected)) {
      return ::testing::AssertionFailure() << "expected the frame line\n  " << expected << "\ngot\n  " << stack[at];
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult RanAgainUnsuspended(const std::map<unsigned, WorkerState>& before,
                                               const std::map<unsigned, WorkerState>& after) {
  if (before.empty() || after.size() != before.size()) return ::testing::AssertionFailure() << "no worker states";
  for (const auto& [tid, state] : after) {
    auto earlier = before.find(tid);
    if (earlier == before.end()) return ::testing::AssertionFailure() << "unknown worker " << tid;
    if (state.suspendCount != 0) {
      return ::testing::AssertionFailure() << "worker " << tid << " has the suspend count " << state.suspendCount;
    }
    if (state.beats != earlier->second.beats + 1) {
      return ::testing::AssertionFailure() << "worker " << tid << " counted " << state.beats
                                           << " heartbeats, before the walk " << earlier->second.beats;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace e2e
