// Running a demonstration program under test: its standard streams on pipes, reads with a
// deadline, and a wait that never leaves the child behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

struct Proc {
  pid_t pid = -1;
  int in = -1;   // the child's standard input, or -1 if it was given a descriptor
  int out = -1;  // the child's standard output, or -1 if it was given a descriptor
  int err = -1;  // the child's standard error
};

constexpr int kDefaultTimeoutMs = 10000;

// Starts path with no arguments, signals at their default actions and none blocked.
// Standard input and output are pipes, or the descriptors stdinFd and stdoutFd when these
// are >= 0; standard error is a pipe. Returns pid -1 if the child cannot be started.
Proc startProgram(const char *path, int stdinFd = -1, int stdoutFd = -1);

// Reads fd into buf until buf contains want; returns false at end of file or at the
// deadline. Everything read stays in buf.
bool readUntil(int fd, std::string &buf, std::string_view want, int timeoutMs = kDefaultTimeoutMs);

// Reads up to n bytes, as they come, until the deadline or end of file.
std::string readSome(int fd, size_t n, int timeoutMs = kDefaultTimeoutMs);

// Reads the child's out and err (those that are pipes) to end of file, then reaps it:
// returns the wait status. On the deadline the child is killed and the status says so.
int finish(Proc &p, std::string &out, std::string &err, int timeoutMs = kDefaultTimeoutMs);

// Returns once the child sleeps in read (system call 0), or false at the deadline.
bool waitInRead(pid_t pid, int timeoutMs = kDefaultTimeoutMs);

// Closes the descriptors of p that are still open.
void closeAll(Proc &p);

// Writes all of text to fd; returns false on failure.
bool writeAll(int fd, std::string_view text);

// Returns the names of the functions and objects the program at path takes from shared
// libraries (its undefined dynamic symbols, without version), as nm -D reads them; empty if nm
// cannot read it.
std::vector<std::string> importedSymbols(const char *path);
