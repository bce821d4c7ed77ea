// A Windows program started under Wine, with its standard output read
// through a pipe and its standard error kept in a file of its own. The Unix
// process that runs it is the Windows process itself (the loader execs into
// it), so signals sent to Pid() reach it. A program whose output ended with
// nothing in it leaves its exit status and standard error in the test's
// output when it is done with, so that such a run says what it was (a
// failure of Wine's start, or of the program).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using std::chrono::milliseconds;

struct Pipes {
  // Gives the program a standard input pipe that stays open until
  // CloseInput(); otherwise its input is /dev/null.
  bool input = false;
  // When non-zero, the output pipe is shrunk to this many bytes, so that a
  // program that writes more blocks until the test reads.
  int outputCapacity = 0;
};

// Variables added to (or replacing those of) the environment the program inherits.
using Environment = std::vector<std::pair<std::string, std::string>>;

class WineProcess {
 public:
  WineProcess(const std::string& program, const std::vector<std::string>& args, Pipes pipes = {},
              const Environment& environment = {});
  ~WineProcess();
  WineProcess(const WineProcess&) = delete;
  WineProcess& operator=(const WineProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }

  // Everything read from standard output so far, as the program wrote it.
  const std::string& Output() const { return output_; }
  // Reads what arrives within the timeout; false once the output has ended.
  bool ReadSome(milliseconds timeout, size_t limit = 65536);
  // Reads until the output ends; false if it did not end in time.
  bool ReadToEnd(milliseconds timeout);
  // The next whole line (without its line end), or nothing when the output
  // ended or no line came in time.
  std::optional<std::string> ReadLine(milliseconds timeout);
  // Bytes written to the output pipe and not read yet.
  int UnreadBytes() const;
  // What the program (and Wine for it) wrote to standard error so far, up
  // to 64 KB.
  std::string Errors() const;

  // Writes the text to the program's standard input; false if it cannot.
  bool WriteInput(const std::string& text);
  void CloseInput();
  // The exit status, or nothing if the process is still running after the timeout.
  std::optional<int> WaitForExit(milliseconds timeout);
  // Ends the process at once (if it still runs) and reaps it.
  void Kill();

 private:
  std::optional<std::string> TakeLine();

  std::string program_;
  pid_t pid_ = -1;
  int input_ = -1;
  int errors_fd_ = -1;
  int output_fd_ = -1;
  bool output_ended_ = false;
  std::optional<int> status_;
  std::string output_;
  size_t line_start_ = 0;
};

}  // namespace e2e
