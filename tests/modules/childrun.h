// Runs code in a child process that writes to a descriptor, and collects what it wrote.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
  std::string out;  // what the child wrote on its descriptor
  std::string err;  // what it wrote on standard error
  int status = -1;  // its wait status; -1 if it had to be killed
};

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
