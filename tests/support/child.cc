// Programs and code under test in child processes; see child.h.
#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "testdir.h"

namespace {

void closeFd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Reads the descriptors in fds (those >= 0) into sinks, closing each at its end of file, until
// all are closed; returns false if deadline came first.
bool drain(int *fds[2], std::string *sinks[2], long long deadline) {
  while (*fds[0] >= 0 || *fds[1] >= 0) {
    pollfd pfds[2] = {{*fds[0], POLLIN, 0}, {*fds[1], POLLIN, 0}};
    int ready = poll(pfds, 2, millisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    for (int i = 0; i < 2; i++) {
      if (pfds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t n = read(*fds[i], chunk, sizeof chunk);
      if (n > 0)
        sinks[i]->append(chunk, static_cast<size_t>(n));
      else
        closeFd(*fds[i]);
    }
  }
  return true;
}

// Reaps pid, going on after a signal; returns its wait status.
int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

Proc startProgram(const std::vector<std::string> &args, int stdinFd, int stdoutFd,
                  rlim_t stackLimit) {
  signal(SIGPIPE, SIG_IGN);  // a child that is gone must not take the test with it
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if ((stdinFd < 0 && pipe2(in, O_CLOEXEC) != 0) || (stdoutFd < 0 && pipe2(out, O_CLOEXEC) != 0) ||
      pipe2(err, O_CLOEXEC) != 0)
    return {};
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  fflush(nullptr);  // the child's exit must not write the parent's buffered output again
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
    struct rlimit stack = {stackLimit, stackLimit};
    if (stackLimit != 0 && setrlimit(RLIMIT_STACK, &stack) != 0) {
      perror("setrlimit");
      _exit(126);
    }
    execv(argv[0], argv.data());
    perror(argv[0]);
    _exit(127);
  }
  for (int fd : {in[0], out[1], err[1]})
    if (fd >= 0) close(fd);
  p.in = in[1];
  p.out = out[0];
  p.err = err[0];
  return p;
}

Proc startProgram(const char *path, int stdinFd, int stdoutFd) {
  return startProgram(std::vector<std::string>{path}, stdinFd, stdoutFd);
}

int finish(Proc &p, std::string &out, std::string &err, int timeoutMs) {
  const long long deadline = nowMillis() + timeoutMs;
  closeFd(p.in);
  int *fds[2] = {&p.out, &p.err};
  std::string *sinks[2] = {&out, &err};
  if (!drain(fds, sinks, deadline)) kill(p.pid, SIGKILL);
  closeAll(p);
  int status = reap(p.pid);
  p.pid = -1;
  return status;
}

ChildResult runProgram(const std::vector<std::string> &argv, const RunOptions &options) {
  ChildResult result;
  TempFile in, out;
  if (!writeAll(in.fd, options.input) || lseek(in.fd, 0, SEEK_SET) != 0) {
    perror("input file");
    return result;
  }
  Proc p = startProgram(argv, in.fd, options.outputToFile ? out.fd : -1, options.stackLimit);
  if (p.pid < 0) return result;
  struct stat st;
  if (fstat(options.outputToFile ? out.fd : p.out, &st) == 0) result.outBlockSize = st.st_blksize;
  result.status = finish(p, result.out, result.err, options.timeoutMs);
  if (options.outputToFile) result.out = out.contents();
  return result;
}

ChildResult runProgram(const std::vector<std::string> &argv, int timeoutMs) {
  RunOptions options;
  options.timeoutMs = timeoutMs;
  return runProgram(argv, options);
}

ChildResult runInChild(const std::function<void(int fd)> &body, Channel channel) {
  constexpr int kTimeoutMs = 20000;
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
  int *fds[2] = {&ends[0], &errPipe[0]};
  std::string *sinks[2] = {&result.out, &result.err};
  bool ended = drain(fds, sinks, nowMillis() + kTimeoutMs);
  if (!ended) kill(pid, SIGKILL);
  closeFd(ends[0]);
  closeFd(errPipe[0]);
  int status = reap(pid);
  result.status = ended ? status : -1;
  return result;
}

bool exitedWith(int status, int code) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool waitInRead(pid_t pid, int timeoutMs) {
  const long long deadline = nowMillis() + timeoutMs;
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
  } while (nowMillis() < deadline);
  return false;
}

void closeAll(Proc &p) {
  closeFd(p.in);
  closeFd(p.out);
  closeFd(p.err);
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
