#include "Run.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

bool g_exitReturns = false;

namespace {

const unsigned kChildSeconds = 60;  // a hung run fails instead of hanging the suite
int g_booksFd = -1;

void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= (size_t)n;
  }
}

void SendBooksAtExit() {
  std::fflush(stdout);
  WriteAll(g_booksFd, ActiveMachine().SerializeBooks());
  close(g_booksFd);
}

[[noreturn]] void RunChild(Machine& m, const std::function<int()>& body, int outFd, int booksFd) {
  alarm(kChildSeconds);
  dup2(outFd, STDOUT_FILENO);
  close(outFd);
  g_booksFd = booksFd;
  SetActiveMachine(&m);
  std::atexit(SendBooksAtExit);
  std::exit(body());
}

// Reads both pipes to their ends at once, so that neither can fill and stall the child.
void ReadBoth(int outFd, int booksFd, std::string* out, std::string* books) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {booksFd, POLLIN, 0}};
  std::string* sinks[2] = {out, books};
  int open = 2;
  char chunk[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, chunk, sizeof(chunk));
      if (n > 0) {
        sinks[i]->append(chunk, (size_t)n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

RunResult RunInChild(Machine& m, const std::function<int()>& body) {
  int outPipe[2], booksPipe[2];
  if (pipe(outPipe) != 0 || pipe(booksPipe) != 0) std::abort();
  std::fflush(stdout);
  pid_t child = fork();
  if (child < 0) std::abort();
  if (child == 0) {
    close(outPipe[0]);
    close(booksPipe[0]);
    RunChild(m, body, outPipe[1], booksPipe[1]);
  }
  close(outPipe[1]);
  close(booksPipe[1]);
  RunResult result;
  std::string books;
  ReadBoth(outPipe[0], booksPipe[0], &result.out, &books);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  m.LoadBooks(books);
  return result;
}

int CallMain(int (*entry)(int, char**), const char* program, const std::vector<std::string>& args) {
  std::vector<std::string> storage;
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(&s[0]);
  argv.push_back(nullptr);
  return entry((int)storage.size(), argv.data());
}

RunResult RunMain(Machine& m, int (*entry)(int, char**), const char* program, const std::vector<std::string>& args) {
  return RunInChild(m, [&]() { return CallMain(entry, program, args); });
}

int RunMainHere(Machine& m, int (*entry)(int, char**), const char* program, const std::vector<std::string>& args) {
  SetActiveMachine(&m);
  g_exitReturns = true;
  int status;
  try {
    status = CallMain(entry, program, args);
  } catch (const ExitRequest& request) {
    status = request.status;
  }
  g_exitReturns = false;
  std::fflush(stdout);
  SetActiveMachine(nullptr);
  return status;
}

}  // namespace sim
