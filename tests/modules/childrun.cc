// Child processes for the module tests: a descriptor to write on, output collected by poll.
#include "childrun.h"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kTimeoutMs = 20000;

long nowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

ChildResult runInChild(const std::function<void(int fd)> &body, Channel channel) {
  ChildResult result;
  int ends[2], errPipe[2];
  int made = channel == Channel::Socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, ends) : pipe(ends);
  if (made != 0 || pipe(errPipe) != 0) {
    perror("socketpair/pipe");
    return result;
  }
  // ends[0] is read by the parent; for a pipe, ends[1] is the write end.
  fflush(nullptr);  // the child's exit must not write the parent's buffered output again
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return result;
  }
  if (pid == 0) {
    close(ends[0]);
    close(errPipe[0]);
    dup2(errPipe[1], 2);
    close(errPipe[1]);
    body(ends[1]);
    _exit(99);  // body was meant to end the process
  }
  close(ends[1]);
  close(errPipe[1]);

  pollfd fds[2] = {{ends[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  const long deadline = nowMs() + kTimeoutMs;
  int open = 2;
  bool killed = false;
  while (open > 0) {
    long left = deadline - nowMs();
    int ready = left > 0 ? poll(fds, 2, static_cast<int>(left)) : 0;
    if (ready < 0) continue;  // interrupted
    if (ready == 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
  for (const pollfd &p : fds)
    if (p.fd >= 0) close(p.fd);
  int status;
  waitpid(pid, &status, 0);
  result.status = killed ? -1 : status;
  return result;
}

bool exitedWith(int status, int code) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}
