// Reading threadsift's report: lines, the run header, process and thread
// lines, module listings, frame lines, and the pieces of a sweep.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using Lines = std::vector<std::string>;

std::string WithUnixLineEnds(const std::string& text);
// "a\n\nb\n" gives {"a", "", "b"}: a final line end closes the last line.
Lines SplitLines(const std::string& text);

// An address as the build under test prints it: 8 hexadecimal digits on
// 32-bit, 16 on 64-bit; and a regular expression for any such address.
std::string AddressText(uint64_t address);
std::string AddressPattern();

std::string UsageLine();
std::string SeparatorLine();
std::string ProcessHeaderLine(unsigned pid, const std::string& image, size_t threads);
std::string ThreadLine(unsigned tid);

// The thread ids of the "Thread <id> (0x<hex>)" lines, in order. A line that
// starts like a thread line but has another shape fails the test.
std::vector<unsigned> ThreadIds(const Lines& lines);

// The first lines of every run: banner, empty line, "Checking computer NAME
// on TIME", empty line. NAME must be the platform's name of this machine and
// TIME the local time at a moment between `before` and `after`.
::testing::AssertionResult HasRunHeader(const Lines& lines, const std::string& banner, time_t before, time_t after);
constexpr size_t kRunHeaderLines = 4;

// One process's section of a report: its header line, an empty line, the
// module listing, an empty line, then every thread line followed (after any
// stack lines) by an empty line. Checks that shape and returns the thread ids.
::testing::AssertionResult IsProcessReport(const Lines& lines, unsigned pid, const std::string& image, size_t threads,
                                           std::vector<unsigned>* threadIds);

// The lines between a thread's line and the empty line that ends its section
// (its stack, when the thread was walked).
Lines LinesUnderThread(const Lines& processSection, unsigned tid);

// The module listing's header and rule, as wide as the build's addresses.
std::string ModuleListingHeader();
std::string ModuleListingRule();
// The module listing of a process section: the rows under its header and
// rule lines, up to the empty line. Fails the test when there is no listing.
Lines ModuleRows(const Lines& processSection);
// Where a row's version label field starts: after the base, the end, the
// size and a blank.
size_t ModuleLabelColumn();
// A row of the listing with the label as printed (right-aligned in 15 columns).
std::string ModuleRow(uint64_t base, uint32_t size, const std::string& label, const std::string& path);

// A frame line in any of its forms: "<pc> = [<module>!]<pc>()", or
// "<pc> = [<module>!]<name>(<4 words>)[<displacement>][ <file>(<line>)]".
bool IsFrameLine(const std::string& line);
// The program counter a frame line starts with.
std::optional<uint64_t> FramePc(const std::string& line);

// The path under which Wine's programs see a Unix file (drive Z: is the root).
std::string WindowsPath(const std::string& unixPath);
// The file name at the end of a Windows path.
std::string BaseName(const std::string& windowsPath);

// A sweep after the run header: the processes' sections between separator
// lines, the count line and whatever follows it.
struct Sweep {
  std::vector<Lines> processes;
  std::optional<int> count;
  Lines trailer;
};
Sweep SplitSweep(const Lines& afterRunHeader);

// The pid, image name and thread count of a process header line.
struct ProcessHeader {
  unsigned pid = 0;
  std::string image;
  size_t threads = 0;
};
std::optional<ProcessHeader> ReadProcessHeader(const std::string& line);

}  // namespace e2e
