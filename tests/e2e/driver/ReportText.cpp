#include "ReportText.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <regex>

#include "Settings.h"

namespace e2e {
namespace {

// Wine names the computer after the host: its first label, in upper case,
// cut to the 15 characters a NetBIOS name holds.
std::string ExpectedComputerName() {
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  std::string name(host);
  name = name.substr(0, name.find('.')).substr(0, 15);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return (char)toupper(c); });
  return name;
}

// The Windows C run-time's ctime text, without its line end, of every second
// from `before` to `after`. Unlike glibc it pads the day of the month with a 0.
std::vector<std::string> LocalTimesBetween(time_t before, time_t after) {
  std::vector<std::string> texts;
  for (time_t t = before; t <= after; ++t) {
    struct tm local;
    char text[64];
    if (localtime_r(&t, &local) && strftime(text, sizeof(text), "%a %b %d %H:%M:%S %Y", &local) > 0) {
      texts.emplace_back(text);
    }
  }
  return texts;
}

bool IsThreadLine(const std::string& line) { return line.rfind("Thread ", 0) == 0; }

}  // namespace

std::string WithUnixLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

Lines SplitLines(const std::string& text) {
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string AddressText(uint64_t address) {
  char text[32];
  snprintf(text, sizeof(text), "%0*llx", TheSettings().width / 4, (unsigned long long)address);
  return text;
}

std::string AddressPattern() { return "[0-9a-f]{" + std::to_string(TheSettings().width / 4) + "}"; }

std::string UsageLine() { return "Usage: threadsift -p <pid> [-t <tid>]"; }

std::string SeparatorLine() { return std::string(78, '*'); }

std::string ProcessHeaderLine(unsigned pid, const std::string& image, size_t threads) {
  char line[512];
  snprintf(line, sizeof(line), "Process %u (0x%x)  %s %zu thread(s)", pid, pid, image.c_str(), threads);
  return line;
}

std::string ThreadLine(unsigned tid) {
  char line[64];
  snprintf(line, sizeof(line), "Thread %u (0x%x)", tid, tid);
  return line;
}

std::vector<unsigned> ThreadIds(const Lines& lines) {
  static const std::regex shape("Thread ([0-9]+) \\(0x([0-9a-f]+)\\)");
  std::vector<unsigned> ids;
  for (const std::string& line : lines) {
    if (!IsThreadLine(line)) continue;
    std::smatch match;
    if (!std::regex_match(line, match, shape) || std::stoul(match[1]) != std::stoul(match[2], nullptr, 16)) {
      ADD_FAILURE() << "malformed thread line: " << line;
      continue;
    }
    ids.push_back((unsigned)std::stoul(match[1]));
  }
  return ids;
}

::testing::AssertionResult HasRunHeader(const Lines& lines, const std::string& banner, time_t before, time_t after) {
  if (lines.size() < kRunHeaderLines) return ::testing::AssertionFailure() << "no run header";
  if (lines[0] != banner || !lines[1].empty() || !lines[3].empty()) {
    return ::testing::AssertionFailure() << "run header has the wrong shape: [" << lines[0] << "] [" << lines[1]
                                         << "] [" << lines[2] << "] [" << lines[3] << "]";
  }
  const std::string start = "Checking computer " + ExpectedComputerName() + " on ";
  if (lines[2].rfind(start, 0) != 0) {
    return ::testing::AssertionFailure() << "expected the line to start with [" << start << "]: " << lines[2];
  }
  std::vector<std::string> times = LocalTimesBetween(before, after);
  if (std::find(times.begin(), times.end(), lines[2].substr(start.size())) == times.end()) {
    return ::testing::AssertionFailure() << "not the local time of the run: " << lines[2];
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsProcessReport(const Lines& lines, unsigned pid, const std::string& image, size_t threads,
                                           std::vector<unsigned>* threadIds) {
  std::string header = ProcessHeaderLine(pid, image, threads);
  if (lines.size() < 3 || lines[0] != header || !lines[1].empty()) {
    return ::testing::AssertionFailure() << "expected [" << header << "] and an empty line, got ["
                                         << (lines.empty() ? "" : lines[0]) << "]";
  }
  auto first = std::find_if(lines.begin() + 2, lines.end(), IsThreadLine);
  if (!(first - 1)->empty()) {
    return ::testing::AssertionFailure() << "the thread lines of " << pid << " follow no empty line";
  }
  for (auto line = first; line != lines.end(); ++line) {
    if (IsThreadLine(*line) && line != first && !(line - 1)->empty()) {
      return ::testing::AssertionFailure() << "no empty line before [" << *line << "]";
    }
  }
  if (first != lines.end() && !lines.back().empty()) {
    return ::testing::AssertionFailure() << "the last thread of " << pid << " has no empty line after it";
  }
  *threadIds = ThreadIds(Lines(first, lines.end()));
  return ::testing::AssertionSuccess();
}

Lines LinesUnderThread(const Lines& processSection, unsigned tid) {
  auto line = std::find(processSection.begin(), processSection.end(), ThreadLine(tid));
  if (line == processSection.end()) return {};
  auto end = std::find_if(line + 1, processSection.end(), IsThreadLine);
  Lines under(line + 1, end);
  if (!under.empty() && under.back().empty()) under.pop_back();
  return under;
}

std::string ModuleListingHeader() {
  // Each title stands over its column.
  return TheSettings().width == 32 ? "    Base        End         Size        Version         Path"
                                   : "    Base                End                 Size        Version         Path";
}

std::string ModuleListingRule() { return std::string(TheSettings().width == 32 ? 78 : 94, '='); }

Lines ModuleRows(const Lines& processSection) {
  auto at = std::find(processSection.begin(), processSection.end(), ModuleListingHeader());
  if (at == processSection.end() || at + 1 == processSection.end() || *(at + 1) != ModuleListingRule()) {
    ADD_FAILURE() << "no module listing with its header and a rule of " << ModuleListingRule().size() << " '='";
    return {};
  }
  auto end = std::find(at + 2, processSection.end(), "");
  return Lines(at + 2, end);
}

size_t ModuleLabelColumn() { return 2 * (2 + TheSettings().width / 4 + 2) + 11; }

std::string ModuleRow(uint64_t base, uint32_t size, const std::string& label, const std::string& path) {
  char row[1024];
  snprintf(row, sizeof(row), "0x%s  0x%s  0x%08x %15s  %s", AddressText(base).c_str(),
           AddressText(base + size - 1).c_str(), size, label.c_str(), path.c_str());
  return row;
}

bool IsFrameLine(const std::string& line) {
  static const std::string a = AddressPattern();
  static const std::regex shape("(" + a +
                                ") = (?: *[^ !]+!)?"  // address, module text
                                "(?:(" +
                                a +
                                ")\\(\\)|UnDecorateSymbolName error [0-9]+|"  // no symbol; no undecorated name
                                ".+\\(" +
                                a + "(?:," + a + "){3}\\)(?:[+-][0-9]+)?(?: .+\\([0-9]+\\))?)");  // symbol
  std::smatch match;
  // Without a symbol the address is printed twice.
  return std::regex_match(line, match, shape) && (!match[2].matched || match[2] == match[1]);
}

std::optional<uint64_t> FramePc(const std::string& line) {
  static const std::regex start("(" + AddressPattern() + ") = .*");
  std::smatch match;
  if (!std::regex_match(line, match, start)) return std::nullopt;
  return std::stoull(match[1], nullptr, 16);
}

std::string WindowsPath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string BaseName(const std::string& windowsPath) { return windowsPath.substr(windowsPath.find_last_of('\\') + 1); }

Sweep SplitSweep(const Lines& afterRunHeader) {
  static const std::regex countShape("(-?[0-9]+) process\\(es\\) found");
  Sweep sweep;
  auto countLine = std::find_if(afterRunHeader.rbegin(), afterRunHeader.rend(),
                                [](const std::string& line) { return std::regex_match(line, countShape); });
  auto end = countLine == afterRunHeader.rend() ? afterRunHeader.end() : countLine.base() - 1;
  if (end != afterRunHeader.end()) {
    sweep.count = std::stoi(*end);
    sweep.trailer.assign(end + 1, afterRunHeader.end());
  }
  sweep.processes.emplace_back();
  for (auto line = afterRunHeader.begin(); line != end; ++line) {
    if (*line == SeparatorLine()) {
      sweep.processes.emplace_back();
    } else {
      sweep.processes.back().push_back(*line);
    }
  }
  return sweep;
}

std::optional<ProcessHeader> ReadProcessHeader(const std::string& line) {
  static const std::regex shape("Process ([0-9]+) \\(0x[0-9a-f]+\\)  (.+) ([0-9]+) thread\\(s\\)");
  std::smatch match;
  if (!std::regex_match(line, match, shape)) return std::nullopt;
  return ProcessHeader{(unsigned)std::stoul(match[1]), match[2], std::stoul(match[3])};
}

}  // namespace e2e
