// The programs' plumbing: whole writes, checked numbers from the command line, failures
// reported by name, signal handlers that interrupt blocked calls.
#pragma once

#include <stddef.h>

// Writes all of buf to fd, going on after a signal; returns 0 on success, -1 with errno set if
// a write fails.
int writeAll(int fd, const void *buf, size_t len);

// Parses a whole decimal number in [low, high] into *value; returns 0 if s is one, -1 if not.
int parseNumber(const char *s, long low, long high, int *value);

// Reports the failed call by name (perror) and ends the process with status.
[[noreturn]] void failCall(const char *call, int status = 1);

// Installs handler for sig without SA_RESTART, so that a blocked call returns EINTR; ends the
// process with status 1 if it cannot.
void setHandler(int sig, void (*handler)(int));

// Blocks or unblocks sig (how is SIG_BLOCK or SIG_UNBLOCK); reports a failure with perror.
void maskSignal(int how, int sig);
