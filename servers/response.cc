// modhost's own pages and its log; see response.h.
#include "response.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include "deadline.h"
#include "modhost.h"
#include "plumbing.h"

namespace {

static_assert(kRequestSeconds == 10 && kRequestLineMax == 8192 && kHeaderMax == 32768 &&
                  kBodyMax == 1048576,
              "the error pages below state these limits");

struct ErrorText {
  int status;
  const char *reason;
  const char *explanation;
};

constexpr ErrorText kErrorTexts[] = {
    {302, "Found", "The page has moved."},
    {400, "Bad Request", "The request line is not of the form GET /name?query HTTP/1.x."},
    {404, "Not Found", "There is no module of that name here."},
    {405, "Method Not Allowed", "Only GET, HEAD and POST are served here."},
    {408, "Request Timeout", "No complete request arrived within 10 seconds."},
    {411, "Length Required", "A POST request needs a Content-Length (and no Transfer-Encoding)."},
    {413, "Content Too Large", "The request body is longer than 1048576 bytes."},
    {414, "URI Too Long", "The request line is longer than 8192 bytes."},
    {431, "Request Header Fields Too Large", "The request headers are longer than 32768 bytes."},
    {500, "Internal Server Error", "The module could not be run."},
    {503, "Service Unavailable", "The server cannot take this request now."},
};

}  // namespace

void appendDetail(Outcome *out, const char *format, ...) {
  size_t used = strlen(out->detail);
  va_list ap;
  va_start(ap, format);
  vsnprintf(out->detail + used, sizeof out->detail - used, format, ap);
  va_end(ap);
}

void stampArrival(const timespec &when, Outcome *out) {
  static time_t zoneChecked = -1;
  if (when.tv_sec != zoneChecked) {  // localtime_r alone reads the zone only once
    tzset();
    zoneChecked = when.tv_sec;
  }
  tm local;
  if (localtime_r(&when.tv_sec, &local) == nullptr) return;
  // strftime's %z lacks the colon of the extended format that the rest of the stamp uses.
  long offset = local.tm_gmtoff / 60;
  size_t n = strftime(out->arrived, sizeof out->arrived, "%Y-%m-%dT%H:%M:%S", &local);
  snprintf(out->arrived + n, sizeof out->arrived - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
           labs(offset) / 60, labs(offset) % 60);
}

void logRequest(const Outcome &out) {
  char query[32] = "";
  if (out.hasQuery) snprintf(query, sizeof query, "?[%zu bytes]", out.queryLength);
  long long millis = nowMillis() - out.arrivedMillis;
  char line[600];
  int n = snprintf(line, sizeof line, "%s %s %s %s%s %d %zu %lldms%s%s\n", out.arrived, out.peer,
                   out.method, out.path, query, out.status, out.sent, millis,
                   out.detail[0] ? " " : "", out.detail);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (writeAll(STDOUT_FILENO, line, len) != 0) perror("write");
}

const char *httpDate() {
  static time_t second = -1;
  static char date[40];
  time_t now = time(nullptr);
  if (now != second) {
    tm utc;
    if (gmtime_r(&now, &utc) == nullptr ||
        strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc) == 0)  // in the C locale
      date[0] = '\0';
    second = now;
  }
  return date;
}

int statusLines(char *buf, size_t size, int status, const char *reason) {
  int n = snprintf(buf, size, "HTTP/1.0 %d %s\r\nDate: %s\r\n", status, reason, httpDate());
  return n >= 0 && static_cast<size_t>(n) < size ? n : -1;
}

void sendPage(int fd, int status, const char *extra, Outcome *out, const char *explanation) {
  const ErrorText *text = &kErrorTexts[0];
  for (const ErrorText &t : kErrorTexts)
    if (t.status == status) text = &t;
  char body[512];
  int bodyLen = snprintf(body, sizeof body, "<TITLE>%d %s</TITLE>\n<H1>%s</H1>\n%s<P>\n", status,
                         text->reason, text->reason,
                         explanation != nullptr ? explanation : text->explanation);
  char head[640];
  int statusLen = statusLines(head, sizeof head, status, text->reason);
  int headLen = statusLen < 0 ? -1
                              : snprintf(head + statusLen, sizeof head - statusLen,
                                         "Content-Type: text/html\r\nContent-Length: %d\r\n"
                                         "Connection: close\r\n%s\r\n",
                                         bodyLen, extra);
  out->status = status;
  if (bodyLen < 0 || headLen < 0) return;
  headLen += statusLen;
  bool withBody = strcmp(out->method, "HEAD") != 0;
  iovec parts[2] = {{head, static_cast<size_t>(headLen)}, {body, static_cast<size_t>(bodyLen)}};
  ssize_t n = writev(fd, parts, withBody ? 2 : 1);  // whole: the first thing on the connection
  if (n > 0) out->sent += static_cast<size_t>(n);
}
