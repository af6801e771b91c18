// The programs' plumbing; see plumbing.h.
#include "plumbing.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int writeAll(int fd, const void *buf, size_t len) {
  const char *p = static_cast<const char *>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int parseNumber(const char *s, long low, long high, int *value) {
  char *end;
  errno = 0;
  long n = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || n < low || n > high) return -1;
  *value = static_cast<int>(n);
  return 0;
}

void failCall(const char *call, int status) {
  perror(call);
  exit(status);
}

void setHandler(int sig, void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  if (sigaction(sig, &sa, nullptr) != 0) failCall("sigaction");
}

void maskSignal(int how, int sig) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  if (sigprocmask(how, &set, nullptr) != 0) perror("sigprocmask");
}
