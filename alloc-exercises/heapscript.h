// A heap script: one malloc, calloc, realloc or free call a line, read and checked whole before
// any call runs. Fixed tables only: the program that reads it shows its own heap.
#pragma once

#include <stddef.h>

#include "decimal.h"

// A build for long recordings (heaprun-long) sets HEAPRUN_MAX_CALLS higher.
#ifndef HEAPRUN_MAX_CALLS
#define HEAPRUN_MAX_CALLS 10000
#endif
constexpr int kMaxCalls = HEAPRUN_MAX_CALLS;
// The smallest power of two above n: the size of a table kept half empty.
constexpr size_t powerAbove(size_t n) {
  size_t p = 1;
  while (p <= n) p *= 2;
  return p;
}
constexpr size_t kNameMax = 32;  // characters of a name
constexpr int kNoName = -1;      // a result that is not named, or the pointer null

// The four calls, then the faults a script may commit on purpose: free! frees the block a name
// holds or last held, already free or not; overflow writes past the end of a block's payload;
// write writes into a block's payload, freed or not.
enum class CallKind : unsigned char { Malloc, Calloc, Realloc, Free, FreeAgain, Overflow, Write };
constexpr bool isFault(CallKind k) { return k >= CallKind::FreeAgain; }

struct ScriptCall {
  CallKind kind;
  int target;     // the name the result is assigned to, or kNoName
  int source;     // the name whose block realloc, free or a fault is given, or kNoName for null
  size_t first;   // malloc's and realloc's size, calloc's count, the bytes a fault writes
                  // (0 for write: as many as the name asked for)
  size_t second;  // calloc's size
  long line;      // in the script, from 1
};

struct Script {
  ScriptCall calls[kMaxCalls];
  int callCount;
  char names[kMaxCalls][kNameMax + 1];  // each NUL-terminated; a call assigns at most one
  int nameCount;
};

// Reads the script on descriptor fd into script. A script that breaks a rule (docs/heaprun.md)
// ends the process with its error line on standard error and status 2; a failed read, status 1.
void readScript(int fd, Script *script);

constexpr int kBadScript = 2;  // the exit status for a script that breaks a rule

// Writes "heaprun: line N: " and the texts (up to a null one) as one line on standard error,
// then ends the process with status.
[[noreturn]] void lineError(int status, long line, const char *text, ...) __attribute__((sentinel));
// lineError with status kBadScript.
#define scriptError(line, ...) lineError(kBadScript, line, __VA_ARGS__)

// Writes all of buf to fd; ends the process with status 1 if that fails.
void writeAllOrExit(int fd, const char *buf, size_t len);
