// Reading and writing descriptors under test; see io.h.
#include "io.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>

Received readFrom(int fd, size_t want, int timeoutMs) {
  Received r;
  long long deadline = nowMillis() + timeoutMs;
  while (r.data.size() < want) {
    int left = millisLeft(deadline);
    if (left <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[65536];
    size_t ask = std::min(sizeof(buf), want - r.data.size());
    ssize_t n = read(fd, buf, ask);
    if (n < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      break;
    }
    if (n == 0) {
      r.ended = true;
      break;
    }
    r.data.append(buf, static_cast<size_t>(n));
  }
  return r;
}

Received readToEnd(int fd, int timeoutMs) { return readFrom(fd, SIZE_MAX, timeoutMs); }

bool readUntil(int fd, std::string &buf, std::string_view want, int timeoutMs) {
  long long deadline = nowMillis() + timeoutMs;
  while (buf.find(want) == std::string::npos) {
    Received more = readFrom(fd, 1, millisLeft(deadline));  // whatever one read brings
    if (more.data.empty()) return false;
    buf += more.data;
  }
  return true;
}

std::string readSome(int fd, size_t n, int timeoutMs) { return readFrom(fd, n, timeoutMs).data; }

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ADD_FAILURE() << "send: " << strerror(errno);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}
