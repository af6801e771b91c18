// Running a demonstration program under test; see proc.h.
#include "proc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Milliseconds left until deadline, at least 0.
int leftMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Appends to buf what one read of fd brings, at most max bytes, waiting until deadline;
// returns false at end of file, on error or at the deadline.
bool readChunk(int fd, std::string &buf, size_t max, Clock::time_point deadline) {
  pollfd pfd = {fd, POLLIN, 0};
  if (poll(&pfd, 1, leftMs(deadline)) <= 0) return false;
  char chunk[4096];
  const ssize_t n = read(fd, chunk, std::min(sizeof chunk, max));
  if (n <= 0) return false;
  buf.append(chunk, static_cast<size_t>(n));
  return true;
}

void closeFd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

Proc startProgram(const char *path, int stdinFd, int stdoutFd) {
  signal(SIGPIPE, SIG_IGN);  // a child that is gone must not take the test with it
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if ((stdinFd < 0 && pipe2(in, O_CLOEXEC) != 0) || (stdoutFd < 0 && pipe2(out, O_CLOEXEC) != 0) ||
      pipe2(err, O_CLOEXEC) != 0)
    return {};
  Proc p;
  p.pid = fork();
  if (p.pid == 0) {
    dup2(stdinFd >= 0 ? stdinFd : in[0], STDIN_FILENO);
    dup2(stdoutFd >= 0 ? stdoutFd : out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl(path, path, static_cast<char *>(nullptr));
    perror(path);
    _exit(127);
  }
  for (int fd : {in[0], out[1], err[1]})
    if (fd >= 0) close(fd);
  p.in = in[1];
  p.out = out[0];
  p.err = err[0];
  return p;
}

bool readUntil(int fd, std::string &buf, std::string_view want, int timeoutMs) {
  const Clock::time_point deadline = deadlineAfter(timeoutMs);
  while (buf.find(want) == std::string::npos)
    if (!readChunk(fd, buf, SIZE_MAX, deadline)) return false;
  return true;
}

std::string readSome(int fd, size_t n, int timeoutMs) {
  const Clock::time_point deadline = deadlineAfter(timeoutMs);
  std::string buf;
  while (buf.size() < n && readChunk(fd, buf, n - buf.size(), deadline)) {
  }
  return buf;
}

int finish(Proc &p, std::string &out, std::string &err, int timeoutMs) {
  const Clock::time_point deadline = deadlineAfter(timeoutMs);
  closeFd(p.in);
  while (p.out >= 0 || p.err >= 0) {
    pollfd pfds[2] = {{p.out, POLLIN, 0}, {p.err, POLLIN, 0}};
    int ready = poll(pfds, 2, leftMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      kill(p.pid, SIGKILL);
      break;
    }
    int *fds[2] = {&p.out, &p.err};
    std::string *bufs[2] = {&out, &err};
    for (int i = 0; i < 2; i++)
      if (pfds[i].revents != 0 && !readChunk(*fds[i], *bufs[i], SIZE_MAX, deadline))
        closeFd(*fds[i]);
  }
  closeAll(p);
  int status = 0;
  while (waitpid(p.pid, &status, 0) < 0 && errno == EINTR) {
  }
  p.pid = -1;
  return status;
}

bool waitInRead(pid_t pid, int timeoutMs) {
  const Clock::time_point deadline = deadlineAfter(timeoutMs);
  const std::string syscallPath = "/proc/" + std::to_string(pid) + "/syscall";
  const std::string statPath = "/proc/" + std::to_string(pid) + "/stat";
  do {
    // /proc/<pid>/syscall starts with the number of the call the task sleeps in; where it
    // cannot be read, a sleeping task (state S) is taken to be in its read.
    char text[256] = "";
    bool inRead = false;
    int fd = open(syscallPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ssize_t n = read(fd, text, sizeof text - 1);
      close(fd);
      inRead = n >= 2 && text[0] == '0' && text[1] == ' ';
    } else if ((fd = open(statPath.c_str(), O_RDONLY | O_CLOEXEC)) >= 0) {
      ssize_t n = read(fd, text, sizeof text - 1);
      close(fd);
      const std::string stat(text, n > 0 ? static_cast<size_t>(n) : 0);
      const size_t paren = stat.rfind(')');
      inRead = paren != std::string::npos && stat.compare(paren, 3, ") S") == 0;
    }
    if (inRead) return true;
    usleep(1000);
  } while (Clock::now() < deadline);
  return false;
}

void closeAll(Proc &p) {
  closeFd(p.in);
  closeFd(p.out);
  closeFd(p.err);
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::vector<std::string> importedSymbols(const char *path) {
  const std::string command = "nm -D --undefined-only '" + std::string(path) + "' 2>/dev/null";
  FILE *nm = popen(command.c_str(), "r");
  if (nm == nullptr) return {};
  std::vector<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, nm) != nullptr) {
    std::string_view name(line);  // "<blanks>U name@VERSION\n"
    name.remove_suffix(name.ends_with('\n') ? 1 : 0);
    name.remove_prefix(std::min(name.size(), name.find_last_of(' ') + 1));
    names.emplace_back(name.substr(0, name.find('@')));
  }
  if (pclose(nm) != 0) return {};
  return names;
}
