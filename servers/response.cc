// modhost's own pages and its log; see response.h.
#include "response.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include "modhost.h"
#include "plumbing.h"

namespace {

static_assert(kRequestSeconds == 10 && RequestLineMax == 8192 && HeaderMax == 32768,
              "the error pages below state these limits");

struct ErrorText {
  int status;
  const char *reason;
  const char *explanation;
};

constexpr ErrorText kErrorTexts[] = {
    {302, "Found", "The order form is at <A HREF=\"/tolv\">/tolv</A>."},
    {400, "Bad Request", "The request line is not of the form GET /name?query HTTP/1.x."},
    {404, "Not Found", "There is no module of that name here."},
    {405, "Method Not Allowed", "Only GET is served here."},
    {408, "Request Timeout", "No complete request arrived within 10 seconds."},
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

void logRequest(const Outcome &out) {
  char query[32] = "";
  if (out.hasQuery) snprintf(query, sizeof query, "?[%zu bytes]", out.queryLength);
  char line[512];
  int n = snprintf(line, sizeof line, "%s %s %s%s %d %zu%s%s\n", out.peer, out.method, out.path,
                   query, out.status, out.sent, out.detail[0] ? " " : "", out.detail);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (writeAll(STDOUT_FILENO, line, len) != 0) perror("write");
}

void sendPage(int fd, int status, const char *extra, Outcome *out, const char *explanation) {
  const ErrorText *text = &kErrorTexts[0];
  for (const ErrorText &t : kErrorTexts)
    if (t.status == status) text = &t;
  char body[512];
  int bodyLen = snprintf(body, sizeof body, "<TITLE>%d %s</TITLE>\n<H1>%s</H1>\n%s<P>\n", status,
                         text->reason, text->reason,
                         explanation != nullptr ? explanation : text->explanation);
  char head[512];
  int headLen = snprintf(head, sizeof head,
                         "HTTP/1.0 %d %s\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                         "Connection: close\r\n%s\r\n",
                         status, text->reason, bodyLen, extra);
  out->status = status;
  if (bodyLen < 0 || headLen < 0) return;
  iovec parts[2] = {{head, static_cast<size_t>(headLen)}, {body, static_cast<size_t>(bodyLen)}};
  ssize_t n = writev(fd, parts, 2);  // whole: the page is the first thing on the connection
  if (n > 0) out->sent += static_cast<size_t>(n);
}
