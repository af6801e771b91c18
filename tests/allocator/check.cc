// Failure reports for check.h, written without stdio.
#include "check.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

int reportFd = STDERR_FILENO;

void report(const char *text) {
  size_t n = strlen(text);
  while (n > 0) {
    ssize_t w = write(reportFd, text, n);
    if (w <= 0) return;
    text += w;
    n -= static_cast<size_t>(w);
  }
}

// snprintf into a fixed buffer takes no memory from the heap.
void checkFailed(const char *file, int line, const char *what) {
  char text[512];
  snprintf(text, sizeof text, "%s:%d: check failed: %s\n", file, line, what);
  report(text);
  _exit(1);
}

void checkFailedEq(const char *file, int line, const char *what, long long got, long long want) {
  char text[512];
  snprintf(text, sizeof text, "%s:%d: check failed: %s (got %lld, want %lld)\n", file, line, what,
           got, want);
  report(text);
  _exit(1);
}
