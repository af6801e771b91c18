// modhost's own pages and its log: one line per request, written whole.
#pragma once

#include <netinet/in.h>
#include <stddef.h>

#include "httprequest.h"

constexpr size_t kLogPathMax = 200;  // a logged path is cut to this many bytes

// What one request turned out to be, for its log line.
struct Outcome {
  char peer[INET_ADDRSTRLEN] = "-";
  char method[MethodMax + 1] = "-";
  char path[kLogPathMax + 1] = "-";
  size_t queryLength = 0;
  bool hasQuery = false;
  int status = 0;
  size_t sent = 0;
  char detail[96] = "";
};

// Adds formatted text to out's detail, cut to its room.
void appendDetail(Outcome *out, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Writes out's log line on standard output, in a single write so that children do not mix.
void logRequest(const Outcome &out);

// Sends a complete response with a short HTML page for status on fd, the first thing on the
// connection; extra is more header lines, and explanation, if given, replaces the status's own.
void sendPage(int fd, int status, const char *extra, Outcome *out,
              const char *explanation = nullptr);
