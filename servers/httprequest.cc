// Reading and judging one HTTP/1.x request for modhost; see httprequest.h.
#include "httprequest.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

constexpr char kVersionPrefix[] = "HTTP/";

// Takes one byte of the request line; returns the state after it.
ReadState takeLineByte(RequestReader *r, char c) {
  if (c != '\n') {
    if (r->lineLength == kRequestLineMax + 1) return ReadState::LineTooLong;  // room for a CR
    r->line[r->lineLength++] = c;
    return ReadState::Reading;
  }
  if (r->lineLength > 0 && r->line[r->lineLength - 1] == '\r') r->lineLength--;
  if (r->lineLength == 0) return ReadState::Reading;  // an empty line before the request line
  if (r->lineLength > kRequestLineMax) return ReadState::LineTooLong;
  r->line[r->lineLength] = '\0';
  r->inHeaders = true;
  // A line without a version is an old-style request: no headers follow.
  if (memmem(r->line, r->lineLength, kVersionPrefix, sizeof kVersionPrefix - 1) == nullptr)
    return ReadState::Complete;
  return ReadState::Reading;
}

// Notes what a finished header line says of the body: its Content-Length (one number, the same
// if it comes twice), or a Transfer-Encoding, which modhost does not decode.
void noteHeader(RequestReader *r) {
  size_t n = r->headerLineLength < kHeaderKept ? r->headerLineLength : kHeaderKept;
  const char *h = r->header;
  if (n >= 18 && strncasecmp(h, "transfer-encoding:", 18) == 0) r->encoded = true;
  if (n < 15 || strncasecmp(h, "content-length:", 15) != 0) return;
  if (r->headerLineLength > kHeaderKept) {  // longer than any number modhost takes
    r->lengthBad = true;
    return;
  }
  size_t i = 15;
  while (i < n && (h[i] == ' ' || h[i] == '\t')) i++;
  long long value = 0;
  size_t digits = 0;
  for (; i < n && h[i] >= '0' && h[i] <= '9'; i++, digits++)
    if (value <= static_cast<long long>(kBodyMax)) value = value * 10 + (h[i] - '0');
  while (i < n && (h[i] == ' ' || h[i] == '\t' || h[i] == '\r')) i++;
  if (digits == 0 || i != n || (r->contentLength >= 0 && r->contentLength != value))
    r->lengthBad = true;
  else
    r->contentLength = value;
}

// Takes one byte of the header lines; returns the state after it.
ReadState takeHeaderByte(RequestReader *r, char c) {
  if (++r->headerBytes > kHeaderMax) return ReadState::HeadersTooLong;
  if (c == '\n') {
    if (r->headerLineLength == 0) return ReadState::Complete;  // the empty line
    noteHeader(r);
    r->headerLineLength = 0;
  } else if (c != '\r' || r->headerLineLength > 0) {
    if (r->headerLineLength < kHeaderKept) r->header[r->headerLineLength] = c;
    r->headerLineLength++;
  }
  return ReadState::Reading;
}

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Returns the path of target, a request target without its query: target itself if it starts
// with '/'; for the absolute form ("http://host:port/path") the part from the first '/' after
// the host, or "/" if there is none; null for anything else.
const char *pathOf(const char *target) {
  if (target[0] == '/') return target;
  const char *authority = nullptr;
  if (strncasecmp(target, "http://", 7) == 0) authority = target + 7;
  if (strncasecmp(target, "https://", 8) == 0) authority = target + 8;
  if (authority == nullptr) return nullptr;
  const char *path = strchr(authority, '/');
  return path != nullptr ? path : "/";
}

}  // namespace

void startRequest(RequestReader *r) {
  r->line[0] = '\0';
  r->lineLength = 0;
  r->headerBytes = 0;
  r->headerLineLength = 0;
  r->inHeaders = false;
  r->anything = false;
  r->state = ReadState::Reading;
  r->contentLength = -1;
  r->lengthBad = r->encoded = false;
}

int judgeBody(const RequestReader &r) {
  if (r.lengthBad) return 400;
  if (r.encoded || r.contentLength < 0) return 411;
  return r.contentLength > static_cast<long long>(kBodyMax) ? 413 : 0;
}

ReadState feedRequest(RequestReader *r, const char *data, size_t n, size_t *used) {
  size_t i = 0;
  if (n > 0) r->anything = true;
  while (i < n && r->state == ReadState::Reading) {
    char c = data[i++];
    r->state = r->inHeaders ? takeHeaderByte(r, c) : takeLineByte(r, c);
  }
  *used = i;
  return r->state;
}

bool isModuleName(const char *s, size_t len) {
  if (len == 0 || len > kModuleNameMax) return false;
  for (size_t i = 0; i < len; i++) {
    char c = s[i];
    if (!(isLetter(c) || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  }
  return true;
}

int modulePath(char *path, size_t size, const char *dir, const char *name) {
  int n = snprintf(path, size, "%s/%s-mod.so", dir, name);
  return n >= 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

int judgeRequest(char *line, size_t length, Request *req) {
  *req = Request{400, nullptr, nullptr, nullptr, nullptr, nullptr};
  // Controls (NUL and CR among them), DEL and bytes outside ASCII make the line malformed, so
  // the string functions below see the whole line.
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c >= 0x7f) return req->status;
  }
  line[length] = '\0';
  char *sp1 = strchr(line, ' ');
  if (sp1 == nullptr) return req->status;
  char *sp2 = strchr(sp1 + 1, ' ');
  if (sp2 == nullptr || strchr(sp2 + 1, ' ') != nullptr) return req->status;
  *sp1 = *sp2 = '\0';
  char *method = line, *target = sp1 + 1, *version = sp2 + 1;
  size_t methodLength = strlen(method);
  if (methodLength == 0 || methodLength > kMethodMax) return req->status;
  for (const char *p = method; *p != '\0'; p++)
    if (!isLetter(*p)) return req->status;
  if (strcmp(version, "HTTP/1.0") != 0 && strcmp(version, "HTTP/1.1") != 0) return req->status;

  char *query = strchr(target, '?');
  if (query != nullptr) *query++ = '\0';
  const char *path = pathOf(target);
  if (path == nullptr) return req->status;
  *req = Request{0, method, path, query, version, nullptr};
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0 && strcmp(method, "POST") != 0) {
    req->status = 405;
  } else if (!isModuleName(path + 1, strlen(path + 1))) {
    req->status = 404;
  } else {
    req->status = 200;
    req->name = path + 1;
  }
  return req->status;
}
