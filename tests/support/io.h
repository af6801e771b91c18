// Reading and writing descriptors under test: reads that give up at a deadline (on the
// programs' own deadline clock), and whole writes.
#pragma once

#include <stddef.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

#include "deadline.h"  // nowMillis, millisLeft

constexpr int kDefaultTimeoutMs = 10000;

// An owned descriptor, closed with the object.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd &&o) : fd(o.fd) { o.fd = -1; }
  Fd &operator=(Fd &&o) {
    std::swap(fd, o.fd);
    return *this;
  }
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// What came from a descriptor: the bytes, and how reading stopped.
struct Received {
  std::string data;
  bool ended = false;  // the stream ended (read gave 0)
  int error = 0;       // errno of a failed read, 0 if none
};

// Reads fd until want bytes have come, the stream ends or fails, or timeoutMs pass.
Received readFrom(int fd, size_t want, int timeoutMs = kDefaultTimeoutMs);

// Reads fd to its end (or failure), for at most timeoutMs.
Received readToEnd(int fd, int timeoutMs = kDefaultTimeoutMs);

// Reads fd into buf until buf contains want; returns false at end of file, on error or at the
// deadline. Everything read stays in buf.
bool readUntil(int fd, std::string &buf, std::string_view want, int timeoutMs = kDefaultTimeoutMs);

// Reads up to n bytes, as they come, until the deadline or end of file.
std::string readSome(int fd, size_t n, int timeoutMs = kDefaultTimeoutMs);

// Writes all of text to fd; returns false on failure.
bool writeAll(int fd, std::string_view text);

// Sends all of bytes on socket fd without SIGPIPE; a failure is a test failure. Returns whether
// all was sent.
bool sendAll(int fd, std::string_view bytes);
