// Running a demonstration program under test; see proc.h.
#include "proc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace {

long long nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Milliseconds left until deadline, at least 0.
int leftMs(long long deadline) {
  long long left = deadline - nowMs();
  return left > 0 ? static_cast<int>(left) : 0;
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
  const long long deadline = nowMs() + timeoutMs;
  while (buf.find(want) == std::string::npos) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, leftMs(deadline)) <= 0) return false;
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buf.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

std::string readSome(int fd, size_t n, int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
  std::string buf;
  while (buf.size() < n) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, leftMs(deadline)) <= 0) break;
    char chunk[4096];
    ssize_t got = read(fd, chunk, std::min(sizeof chunk, n - buf.size()));
    if (got <= 0) break;
    buf.append(chunk, static_cast<size_t>(got));
  }
  return buf;
}

int finish(Proc &p, std::string &out, std::string &err, int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
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
    for (int i = 0; i < 2; i++) {
      if (pfds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t n = read(*fds[i], chunk, sizeof chunk);
      if (n > 0)
        bufs[i]->append(chunk, static_cast<size_t>(n));
      else
        closeFd(*fds[i]);
    }
  }
  closeAll(p);
  int status = 0;
  while (waitpid(p.pid, &status, 0) < 0 && errno == EINTR) {
  }
  p.pid = -1;
  return status;
}

bool waitInRead(pid_t pid, int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
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
  } while (nowMs() < deadline);
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
