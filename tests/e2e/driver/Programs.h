// The programs the tests start: the tools under test, run to their end,
// and the fixture program, which blocks known threads until it is let go.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "WineProcess.h"

namespace e2e {

struct ToolRun {
  int status = -1;  // -1 when the run did not end in time
  std::string out;  // standard output with LF line ends
};

// Runs threadsift (or latchsift) with the arguments and waits for its end.
ToolRun RunThreadsift(const std::vector<std::string>& args);
ToolRun RunLatchsift(const std::vector<std::string>& args);
// The same with another build of the tool and additions to its environment.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& args, const Environment& environment = {});

// A module as the fixture sees it in its own process.
struct FixtureModule {
  uint64_t base = 0;
  uint32_t size = 0;
  std::string path;
};

// What the fixture reports of one worker when asked.
struct WorkerState {
  long suspendCount = -1;  // the count the thread had; -1 if it could not be read
  long beats = -1;         // heartbeats counted, after one more was asked for
};

// A suspended worker and its suspend count.
struct HeldThread {
  unsigned tid = 0;
  long suspendCount = -1;
};

// Fixture variants: one more worker that the fixture itself holds suspended
// (twice); or processes and threads that come and go all the time, a
// short-lived copy of the fixture every `ms` milliseconds among them.
struct HoldOneSuspended {};
// One more thread that never stops computing.
struct WithSpinner {};
// One more thread that never stops computing, three quarters of its time in
// FixtureBusyLong and one quarter in FixtureBusyShort.
struct WithSplitter {};
struct Churn {
  int ms;
};

class Fixture {
 public:
  // Starts the fixture with that many blocked workers; with an event name,
  // the fixture creates that event and reports when it is signalled.
  explicit Fixture(int threads, const std::string& event = "");
  Fixture(int threads, HoldOneSuspended);
  Fixture(int threads, WithSpinner);
  Fixture(int threads, WithSplitter);
  Fixture(int threads, Churn churn);
  ~Fixture();

  // True once the fixture reported its ids and that its workers are blocked.
  bool Ready() const { return ready_; }
  unsigned Pid() const { return pid_; }
  // Main thread first, then the threads it started, in creation order.
  const std::vector<unsigned>& StartedThreads() const { return started_; }
  // Every thread of the process as a Toolhelp32 snapshot lists them.
  const std::vector<unsigned>& SnapshotThreads() const { return snapshot_; }
  // The threads blocked in the worker chain, in creation order.
  std::vector<unsigned> Workers() const;
  // Every module of the process, as the fixture lists them itself.
  const std::vector<FixtureModule>& Modules() const { return modules_; }
  // The address where a function of the worker chain starts; 0 if unknown.
  uint64_t FunctionStart(const std::string& name) const;
  // The argument the worker's chain is called with; 0 if unknown.
  uint64_t ChainArgument(unsigned tid) const;
  // Asks every worker for one more heartbeat and for its suspend count;
  // empty (and a test failure) when the fixture does not answer.
  std::map<unsigned, WorkerState> State();
  // Waits for the fixture to print the line.
  bool WaitForLine(const std::string& line, milliseconds timeout);

  // The worker held suspended, with the count the fixture reported at its start.
  const HeldThread& Held() const { return held_; }
  // The thread that never stops computing; 0 without one.
  unsigned Spinner() const { return spinner_; }
  // The thread that splits its time between two functions; 0 without one.
  unsigned Splitter() const { return splitter_; }
  // The processor time the fixture's process has used so far, in seconds, as
  // the host's kernel counts it; negative when it cannot be read.
  double CpuSeconds() const;
  // The held worker's suspend count now; -1 (and a test failure) without an answer.
  long HeldSuspendCount();
  // Resumes a worker (the held one included) once; returns the suspend count
  // it had before, or -1 (and a test failure) without an answer.
  long Resume(unsigned tid);

 private:
  Fixture(const std::vector<std::string>& args, int threads);
  bool ReadReport();
  bool ReadInventoryLine(const std::string& line);
  // Sends the request and returns what follows "<answer> " on the line that
  // answers it; nothing (and a test failure) when no such line comes.
  std::optional<std::string> Ask(const std::string& request, const std::string& answer);

  int threads_;
  WineProcess process_;
  bool ready_ = false;
  unsigned pid_ = 0;
  std::vector<unsigned> started_;
  std::vector<unsigned> snapshot_;
  std::vector<FixtureModule> modules_;
  std::map<std::string, uint64_t> functions_;
  std::map<unsigned, uint64_t> arguments_;
  HeldThread held_;
  unsigned spinner_ = 0;
  unsigned splitter_ = 0;
};

}  // namespace e2e
