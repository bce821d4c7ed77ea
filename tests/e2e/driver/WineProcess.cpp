#include "WineProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Settings.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? (int)left : 0;
}

// This process's environment with the additions; made before the fork, so
// that the child only has to exec.
std::vector<std::string> ChildEnvironment(const Environment& additions) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    bool replaced = false;
    for (const auto& addition : additions) replaced = replaced || text.rfind(addition.first + "=", 0) == 0;
    if (!replaced) entries.push_back(text);
  }
  for (const auto& addition : additions) entries.push_back(addition.first + "=" + addition.second);
  return entries;
}

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// A file without a name that takes the program's standard error: Wine's
// server and system processes inherit standard error and may outlive the
// test, so it goes to a file, never to a pipe someone waits on. -1 when
// none can be made (standard error then goes to the Wine log).
int ErrorsFile() {
  const char* folder = getenv("TMPDIR");
  std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/e2e-errors-XXXXXX";
  int fd = mkostemp(&path[0], O_CLOEXEC);
  if (fd >= 0) unlink(path.c_str());
  return fd;
}

// Runs in the forked child: wires the standard handles and becomes Wine.
[[noreturn]] void ExecWine(char* const* argv, char* const* envp, int input, int output, int errors) {
  int log = errors >= 0 ? errors : open(TheSettings().wineLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (input < 0) input = open("/dev/null", O_RDONLY);
  if (log < 0) log = open("/dev/null", O_WRONLY);
  dup2(input, 0);
  dup2(output, 1);
  dup2(log, 2);
  // A break must reach the program even when the tests run in the background.
  signal(SIGINT, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

WineProcess::WineProcess(const std::string& program, const std::vector<std::string>& args, Pipes pipes,
                         const Environment& environment)
    : program_(program) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipes.outputCapacity > 0) fcntl(out[1], F_SETPIPE_SZ, pipes.outputCapacity);
  int in[2] = {-1, -1};
  if (pipes.input && pipe2(in, O_CLOEXEC) != 0) return;

  std::vector<std::string> argv{TheSettings().wine, program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argPointers = Pointers(argv);
  std::vector<std::string> envp = ChildEnvironment(environment);
  std::vector<char*> envPointers = Pointers(envp);
  errors_fd_ = ErrorsFile();
  pid_ = fork();
  if (pid_ == 0) ExecWine(argPointers.data(), envPointers.data(), in[0], out[1], errors_fd_);
  close(out[1]);
  if (in[0] >= 0) close(in[0]);
  output_fd_ = out[0];
  input_ = in[1];
  if (pid_ < 0) {
    close(output_fd_);
    output_fd_ = -1;
    CloseInput();
  }
}

WineProcess::~WineProcess() {
  CloseInput();
  // A program still writing gets a broken pipe instead of waiting for a reader.
  if (output_fd_ >= 0) close(output_fd_);
  if (Started() && !WaitForExit(milliseconds(5000))) Kill();
  if (errors_fd_ < 0) return;
  std::string errors = Errors();
  if (Started() && output_ended_ && output_.empty()) {
    printf("%s printed nothing, exit status %d; its standard error (%zu bytes):\n%s\n", program_.c_str(),
           status_.value_or(-1), errors.size(), errors.c_str());
    fflush(stdout);
  }
  // The Wine log keeps what every program said, as before.
  int log = open(TheSettings().wineLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log >= 0) {
    if (!errors.empty() && write(log, errors.data(), errors.size()) < 0) errors.clear();
    close(log);
  }
  close(errors_fd_);
}

bool WineProcess::ReadSome(milliseconds timeout, size_t limit) {
  if (output_ended_ || output_fd_ < 0) return false;
  pollfd ready{output_fd_, POLLIN, 0};
  int polled = poll(&ready, 1, (int)timeout.count());
  if (polled < 0 && errno == EINTR) return true;
  if (polled <= 0) return true;
  char buffer[65536];
  ssize_t got = read(output_fd_, buffer, std::min(sizeof(buffer), limit));
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) {
    output_ended_ = true;
    return false;
  }
  output_.append(buffer, (size_t)got);
  return true;
}

bool WineProcess::ReadToEnd(milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  while (ReadSome(milliseconds(RemainingMs(deadline)))) {
    if (Clock::now() >= deadline) return false;
  }
  return true;
}

std::optional<std::string> WineProcess::TakeLine() {
  size_t end = output_.find('\n', line_start_);
  if (end == std::string::npos) return std::nullopt;
  std::string line = output_.substr(line_start_, end - line_start_);
  line_start_ = end + 1;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> WineProcess::ReadLine(milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (std::optional<std::string> line = TakeLine()) return line;
    bool open = ReadSome(milliseconds(RemainingMs(deadline)));
    if (std::optional<std::string> line = TakeLine()) return line;
    if (!open || Clock::now() >= deadline) return std::nullopt;
  }
}

int WineProcess::UnreadBytes() const {
  int bytes = 0;
  if (output_fd_ < 0 || ioctl(output_fd_, FIONREAD, &bytes) != 0) return -1;
  return bytes;
}

std::string WineProcess::Errors() const {
  std::string errors;
  char buffer[4096];
  for (off_t at = 0; errors_fd_ >= 0 && errors.size() < 65536;) {
    ssize_t got = pread(errors_fd_, buffer, sizeof(buffer), at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    errors.append(buffer, (size_t)got);
    at += got;
  }
  return errors;
}

bool WineProcess::WriteInput(const std::string& text) {
  size_t written = 0;
  while (input_ >= 0 && written < text.size()) {
    ssize_t done = write(input_, text.data() + written, text.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    written += (size_t)done;
  }
  return input_ >= 0;
}

void WineProcess::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::optional<int> WineProcess::WaitForExit(milliseconds timeout) {
  if (status_ || !Started()) return status_;
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (done < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(10));
  }
}

void WineProcess::Kill() {
  if (!Started() || status_) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = 128 + SIGKILL;
}

}  // namespace e2e
