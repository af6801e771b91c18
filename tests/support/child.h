// Programs and code under test in child processes: standard streams on pipes, output collected
// with a deadline, and a wait that never leaves the child behind.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"

struct Proc {
  pid_t pid = -1;
  int in = -1;   // the child's standard input, or -1 if it was given a descriptor
  int out = -1;  // the child's standard output, or -1 if it was given a descriptor
  int err = -1;  // the child's standard error
};

// Starts argv[0] with argv, signals at their default actions and none blocked. Standard input
// and output are pipes, or the descriptors stdinFd and stdoutFd when these are >= 0; standard
// error is a pipe. A stackLimit other than 0 becomes its RLIMIT_STACK (and so its threads'
// stack size). Returns pid -1 if the child cannot be started.
Proc startProgram(const std::vector<std::string> &argv, int stdinFd = -1, int stdoutFd = -1,
                  rlim_t stackLimit = 0);
// The same for path with no arguments.
Proc startProgram(const char *path, int stdinFd = -1, int stdoutFd = -1);

// Reads the child's out and err (those that are pipes) to end of file, then reaps it:
// returns the wait status. On the deadline the child is killed and the status says so.
int finish(Proc &p, std::string &out, std::string &err, int timeoutMs = kDefaultTimeoutMs);

// Returns once the child sleeps in read (system call 0), or false at the deadline.
bool waitInRead(pid_t pid, int timeoutMs = kDefaultTimeoutMs);

// Closes the descriptors of p that are still open.
void closeAll(Proc &p);

struct ChildResult {
  std::string out;  // what the child wrote on its standard output or descriptor
  std::string err;  // what it wrote on standard error
  int status = -1;  // its wait status; -1 if it had to be killed
  // The st_blksize of its standard output, by which glibc sizes a stream's buffer.
  long outBlockSize = 0;
};

// How runProgram runs a program.
struct RunOptions {
  std::string input;          // all of standard input, read from a file
  bool outputToFile = false;  // standard output into a file instead of a pipe
  rlim_t stackLimit = 0;      // as for startProgram
  int timeoutMs = kDefaultTimeoutMs;
};

// Runs argv to its end; a child still running after options.timeoutMs is killed.
ChildResult runProgram(const std::vector<std::string> &argv, const RunOptions &options);
// The same with standard input empty and standard output a pipe.
ChildResult runProgram(const std::vector<std::string> &argv, int timeoutMs = kDefaultTimeoutMs);

enum class Channel {
  Socket,    // one end of a socket pair: open for reading and writing
  WritePipe  // the write end of a pipe: open for writing only
};

// Runs body(fd) in a child, fd being the child's end of channel and standard error a pipe;
// body should end the process. Returns everything both carried until the child ended. A child
// still running after 20 seconds is killed.
ChildResult runInChild(const std::function<void(int fd)> &body, Channel channel = Channel::Socket);

// Returns whether status is a normal exit with the given exit status.
bool exitedWith(int status, int code);

// Returns the names of the functions and objects the program at path takes from shared
// libraries (its undefined dynamic symbols, without version), as nm -D reads them; empty if nm
// cannot read it.
std::vector<std::string> importedSymbols(const char *path);
