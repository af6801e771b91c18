// Checks for programs that carry the allocator: a failure is reported with
// write(2) and ends the process at once, so no check ever allocates.
#pragma once

#include <stddef.h>

[[noreturn]] void checkFailed(const char *file, int line, const char *what);
[[noreturn]] void checkFailedEq(const char *file, int line, const char *what, long long got,
                                long long want);
// Writes text to the report descriptor (standard error unless changed) without stdio.
void report(const char *text);
extern int reportFd;

#define CHECK(cond) ((cond) ? (void)0 : checkFailed(__FILE__, __LINE__, #cond))
#define CHECK_EQ(got, want)                                                               \
  do {                                                                                    \
    long long got_ = static_cast<long long>(got), want_ = static_cast<long long>(want);   \
    if (got_ != want_) checkFailedEq(__FILE__, __LINE__, #got " == " #want, got_, want_); \
  } while (0)
