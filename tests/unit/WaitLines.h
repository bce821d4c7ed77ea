// What the -w tests of sections and of handles share: the lines they
// expect, and the widths of process the 64-bit build examines.
#ifndef TESTS_UNIT_WAIT_LINES_H
#define TESTS_UNIT_WAIT_LINES_H

#include <sstream>
#include <string>
#include <vector>

#include "Machine.h"

inline std::string Id(DWORD tid) {
  std::ostringstream text;
  text << "thread " << tid << " (0x" << std::hex << tid << ")";
  return text.str();
}

inline std::string Deadlock(const std::vector<DWORD>& cycle) {
  std::string line = "Deadlock: ";
  for (DWORD tid : cycle) line += Id(tid) + " -> ";
  return line + Id(cycle[0]) + "\n";
}

// The wait and deadlock lines of a report.
inline std::string WaitLines(const std::string& out) {
  std::istringstream in(out);
  std::string line, lines;
  while (std::getline(in, line)) {
    bool wait = line.find(" waits for ") != std::string::npos || line.find(" waits on ") != std::string::npos;
    if (wait || line.rfind("Deadlock: ", 0) == 0) lines += line + "\n";
  }
  return lines;
}

// The bytes of a pointer and a stack word of the process.
inline uint64_t WordOf(const sim::Process& p) { return p.bits == 32 ? 4 : sizeof(void*); }

// The word sizes of the processes a build's -w reads: its own, and on the
// 64-bit build a 32-bit process's too.
inline std::vector<uint64_t> ProcessWords() {
  if (sizeof(void*) == 4) return {4};
  return {8, 4};
}

// Makes process 120 of m a 32-bit process when word says so.
inline void SetWidth(sim::Process& p, uint64_t word) {
  if (word != sizeof(void*)) p.bits = 32;
}

// Expected lines as a 32-bit process's report prints them: every address
// of 16 digits whose upper half is zero with 8.
inline std::string Narrowed(std::string lines, uint64_t word) {
  if (word == sizeof(void*)) return lines;
  for (size_t at = lines.find("0x00000000"); at != std::string::npos; at = lines.find("0x00000000", at + 2)) {
    size_t end = lines.find_first_not_of("0123456789abcdef", at + 2);
    if (end == std::string::npos) end = lines.size();
    if (end - (at + 2) == 16) lines.erase(at + 2, 8);
  }
  return lines;
}

#endif
