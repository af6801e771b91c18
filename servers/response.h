// modhost's own pages and its log: one line per request, written whole.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <time.h>

#include "httprequest.h"

constexpr size_t kLogPathMax = 200;  // a logged path is cut to this many bytes

// What one request turned out to be, for its log line.
struct Outcome {
  char arrived[32] = "-";                // when the connection was taken (stampArrival)
  long long arrivedMillis = 0;           // the same moment on the deadline clock
  char peer[INET_ADDRSTRLEN + 6] = "-";  // address:port
  char method[kMethodMax + 1] = "-";
  char path[kLogPathMax + 1] = "-";
  size_t queryLength = 0;
  bool hasQuery = false;
  int status = 0;
  size_t sent = 0;
  char detail[96] = "";
};

// Writes the moment when into out's arrival stamp: ISO 8601, local time with its offset. The
// time zone is looked at again (tzset) once a second, so a changed zone shows.
void stampArrival(const timespec &when, Outcome *out);

// Adds formatted text to out's detail, cut to its room.
void appendDetail(Outcome *out, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Writes out's log line on standard output, in a single write so that children do not mix:
// arrival, client address:port, method, path (a query only by its length), status, bytes sent,
// milliseconds taken, and any detail.
void logRequest(const Outcome &out);

// Returns the value of a Date header for now. It is formatted once a second: a request's
// process started in the same second as the server last asked finds it ready.
const char *httpDate();

// Writes the status line of status and a Date header for now into buf; returns its length, or
// -1 if it does not fit in size bytes.
int statusLines(char *buf, size_t size, int status, const char *reason);

// Sends a complete response with a short HTML page for status on fd, the first thing on the
// connection; extra is more header lines, and explanation, if given, replaces the status's own.
// The page is left out, though counted in Content-Length, if out's method is HEAD.
void sendPage(int fd, int status, const char *extra, Outcome *out,
              const char *explanation = nullptr);
