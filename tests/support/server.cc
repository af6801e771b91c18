// A server under test in a process of its own; see server.h.
#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "procfs.h"

extern char **environ;

namespace {

// This process's environment with each NAME=value of overrides in place of NAME's own.
std::vector<std::string> environmentWith(const std::vector<std::string> &overrides) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const std::string &o : overrides)
      replaced |= entry.substr(0, entry.find('=') + 1) == o.substr(0, o.find('=') + 1);
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

std::vector<char *> pointersTo(std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  for (std::string &s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The exit status of wait status, or 128 + the signal that ended the process.
int exitStatusOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string> &argv,
                             const std::vector<std::string> &environment) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    perror("pipe2");
    return;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    perror("pipe2");
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<std::string> args = argv, env = environmentWith(environment);
  std::vector<char *> argp = pointersTo(args), envp = pointersTo(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int failed = posix_spawn(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (failed != 0) {
    errno = failed;
    perror(("posix_spawn " + argv[0]).c_str());
    pid_ = -1;
  }
  reader_ = std::thread([this, o = out[0], e = err[0]] { collect(o, e); });
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !hasExited() && stop(SIGTERM, kStopMs) < 0) {
    kill(pid_, SIGKILL);
    waitForExit(kStopMs);
  }
  // Processes the server started may still hold its output open: the reader stops anyway.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    waitUntil(lock, kStopMs, [&] { return outEnded_ && errEnded_; });
    stopping_ = true;
  }
  if (reader_.joinable()) reader_.join();
}

void ServerProcess::collect(int outFd, int errFd) {
  int fds[2] = {outFd, errFd};
  std::string *sinks[2] = {&out_, &err_};
  bool *ended[2] = {&outEnded_, &errEnded_};
  constexpr int kPollMs = 100;  // how soon the reader sees that it is to stop
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    int ready = poll(p, 2, kPollMs);
    if (ready < 0 && errno != EINTR) {
      perror("poll");
      break;
    }
    if (ready <= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      continue;
    }
    for (int i = 0; i < 2; i++) {
      if (p[i].revents == 0) continue;
      char chunk[4096];
      ssize_t n = read(fds[i], chunk, sizeof chunk);
      std::lock_guard<std::mutex> lock(mutex_);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else {
        close(fds[i]);
        fds[i] = -1;
        *ended[i] = true;
      }
      changed_.notify_all();
    }
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  outEnded_ = errEnded_ = true;
  changed_.notify_all();
}

template <typename Done>
void ServerProcess::waitUntil(std::unique_lock<std::mutex> &lock, int timeoutMs, Done done) {
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

int ServerProcess::listeningPort(int timeoutMs) {
  if (pid_ <= 0) return 0;
  const long long deadline = nowMillis() + timeoutMs;
  do {
    if (int port = listeningPortOf(pid_); port != 0) return port;
    if (hasExited()) return 0;
    usleep(10000);
  } while (nowMillis() < deadline);
  return 0;
}

bool ServerProcess::hasExited() {
  if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
  return exited_;
}

int ServerProcess::waitForExit(int timeoutMs) {
  const long long deadline = nowMillis() + timeoutMs;
  while (!hasExited()) {
    if (pid_ <= 0 || nowMillis() >= deadline) return -1;
    usleep(10000);
  }
  return exitStatusOf(status_);
}

int ServerProcess::stop(int sig, int timeoutMs) {
  if (pid_ > 0 && !exited_) kill(pid_, sig);
  return waitForExit(timeoutMs);
}

namespace {

// The complete lines of text.
std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

}  // namespace

std::string ServerProcess::waitForLine(std::string_view text, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::string found;
  waitUntil(lock, timeoutMs, [&] {
    for (const std::string &line : linesOf(out_))
      if (line.find(text) != std::string::npos) return found = line, true;
    return outEnded_;
  });
  return found;
}

std::vector<std::string> ServerProcess::waitForLines(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  waitUntil(lock, timeoutMs, [&] { return linesOf(out_).size() >= count || outEnded_; });
  return linesOf(out_);
}

std::string ServerProcess::nextOutput(size_t size, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  waitUntil(lock, timeoutMs, [&] { return out_.size() - taken_ >= size || outEnded_; });
  std::string next = out_.substr(taken_, size);
  taken_ += next.size();
  return next;
}

std::string ServerProcess::restOfOutput(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  waitUntil(lock, timeoutMs, [&] { return outEnded_; });
  std::string rest = out_.substr(taken_);
  taken_ = out_.size();
  return rest;
}

std::string ServerProcess::errorOutput(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  waitUntil(lock, timeoutMs, [&] { return errEnded_; });
  return err_;
}
