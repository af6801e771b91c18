// A server under test in a process of its own: what it writes on standard output and error is
// collected as it comes (so it never blocks on a full pipe), every wait has a deadline, and the
// process is never left behind.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "io.h"

class ServerProcess {
 public:
  // Starts argv[0] with argv, signals at their default actions and none blocked, in this
  // process's environment with each NAME=value of environment set. posix_spawn returns once
  // the program runs, so no descriptor of the test is ever seen as the server's.
  explicit ServerProcess(const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment = {});
  // Ends the server with SIGTERM, and with SIGKILL if it is still there after kStopMs.
  ~ServerProcess();
  ServerProcess(const ServerProcess &) = delete;
  ServerProcess &operator=(const ServerProcess &) = delete;

  static constexpr int kStopMs = 10000;

  pid_t pid() const { return pid_; }

  // Returns the port of the IPv4 socket the server listens on, waiting for it to get there;
  // 0 if it does not within timeoutMs or ends first.
  int listeningPort(int timeoutMs = kDefaultTimeoutMs);

  // Returns whether the server has ended (it is then reaped).
  bool hasExited();
  // Waits up to timeoutMs for the server to end; returns its exit status (128 + the signal if
  // a signal ended it), or -1 if it is still running.
  int waitForExit(int timeoutMs = kDefaultTimeoutMs);
  // Sends sig, then waits as waitForExit does.
  int stop(int sig, int timeoutMs = kDefaultTimeoutMs);

  // Returns the first line of standard output that contains text, waiting at most timeoutMs;
  // "" if none came.
  std::string waitForLine(std::string_view text, int timeoutMs);
  // Returns the lines of standard output once there are at least count (or the output ends,
  // or timeoutMs pass).
  std::vector<std::string> waitForLines(size_t count, int timeoutMs);
  // Returns the next size bytes of standard output after those already taken, fewer if the
  // output ends or timeoutMs pass first.
  std::string nextOutput(size_t size, int timeoutMs);
  // Returns the standard output not yet taken, once it has ended (or timeoutMs have passed).
  std::string restOfOutput(int timeoutMs);
  // Returns all of standard error, once it has ended (or timeoutMs have passed).
  std::string errorOutput(int timeoutMs);

 private:
  void collect(int outFd, int errFd);
  // Waits under lock until done() holds or timeoutMs pass.
  template <typename Done>
  void waitUntil(std::unique_lock<std::mutex> &lock, int timeoutMs, Done done);

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;  // the wait status, once exited_
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  size_t taken_ = 0;  // the bytes of out_ that nextOutput has returned
  bool outEnded_ = false, errEnded_ = false;
  bool stopping_ = false;  // the reader is to stop, even before the output ends
};
