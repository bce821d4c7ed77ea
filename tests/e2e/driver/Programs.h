// The two programs the tests start: the tool under test, run to its end,
// and the fixture program, which blocks known threads until it is let go.
#pragma once

#include <string>
#include <vector>

#include "WineProcess.h"

namespace e2e {

struct ToolRun {
  int status = -1;  // -1 when the run did not end in time
  std::string out;  // standard output with LF line ends
};

// Runs threadsift with the arguments and waits for its end.
ToolRun RunThreadsift(const std::vector<std::string>& args);

class Fixture {
 public:
  // Starts the fixture with that many blocked workers; with an event name,
  // the fixture creates that event and reports when it is signalled.
  explicit Fixture(int threads, const std::string& event = "");
  ~Fixture();

  // True once the fixture reported its ids and that its workers are blocked.
  bool Ready() const { return ready_; }
  unsigned Pid() const { return pid_; }
  // Main thread first, then the threads it started, in creation order.
  const std::vector<unsigned>& StartedThreads() const { return started_; }
  // Every thread of the process as a Toolhelp32 snapshot lists them.
  const std::vector<unsigned>& SnapshotThreads() const { return snapshot_; }
  // Waits for the fixture to print the line.
  bool WaitForLine(const std::string& line, milliseconds timeout);

 private:
  bool ReadReport();

  WineProcess process_;
  bool ready_ = false;
  unsigned pid_ = 0;
  std::vector<unsigned> started_;
  std::vector<unsigned> snapshot_;
};

}  // namespace e2e
