// Reading and judging one HTTP/1.x request for modhost: the request line and headers taken
// from a byte stream in pieces of any size, then the line split and checked in place.
#pragma once

#include <stddef.h>

constexpr size_t kRequestLineMax = 8192;  // bytes, without the line end
constexpr size_t kHeaderMax = 32768;      // all header lines together, line ends included
constexpr size_t kMethodMax = 15;
constexpr size_t kModuleNameMax = 128;
constexpr size_t kBodyMax = 1 << 20;      // bytes of a POST request's body
constexpr size_t kHeaderKept = 64;        // bytes of each header line looked at

enum class ReadState { Reading, Complete, LineTooLong, HeadersTooLong };

// A request being read: the request line is kept, header lines are counted and dropped.
struct RequestReader {
  char line[kRequestLineMax + 2];  // the line, a CR before its LF, and a NUL
  size_t lineLength;
  size_t headerBytes;
  size_t headerLineLength;
  bool inHeaders;
  bool anything;  // some byte has arrived
  ReadState state;
  char header[kHeaderKept];  // the start of the header line being read
  long long contentLength;   // from Content-Length, or -1 if none came
  bool lengthBad;            // a Content-Length that is not one number
  bool encoded;              // a Transfer-Encoding came, which modhost does not decode
};

// Makes r ready for a new request.
void startRequest(RequestReader *r);

// Takes up to n bytes of data into r and returns the state after them. Reading goes on only in
// state Reading; *used is the number of bytes taken, fewer than n once the request is complete
// (or refused). When Complete, r->line holds the request line, NUL-terminated, line end removed,
// r->lineLength bytes long (a NUL inside the line is kept and counted). Empty lines before the
// request line are skipped.
ReadState feedRequest(RequestReader *r, const char *data, size_t n, size_t *used);

// A complete request line, judged. The strings point into the line, which is split in place.
struct Request {
  int status;           // 200: run module name; otherwise the status to answer with
  const char *method;   // null unless the line is well formed (status is not 400)
  const char *target;   // the path, up to the first '?' (of an absolute-form target, its path)
  char *query;          // the bytes after the first '?' of the target, undecoded; null if none
  const char *version;  // "HTTP/1.0" or "HTTP/1.1"
  const char *name;     // the module name (the path without its '/'), when status is 200
};

// Judges the request line of length bytes in place (line has room for length + 1) and fills req:
// 400 for a line not of the form "METHOD SP TARGET SP HTTP/1.x" in printable ASCII, with TARGET
// a path ("/...") or absolute ("http://host/..."), 405 for a method other than GET, HEAD and
// POST, 404
// for a path that is not '/' and a module name ("/" among them), else 200. Returns req->status.
int judgeRequest(char *line, size_t length, Request *req);

// The status for the body of a POST request that r has read (other methods take none): 0 if
// its length is clear and within kBodyMax, 411 if it gave none (or a Transfer-Encoding), 400 if
// its Content-Length is not a number, 413 if it is too long.
int judgeBody(const RequestReader &r);

// Returns true if s is 1 to kModuleNameMax letters, digits, '-' and '_'.
bool isModuleName(const char *s, size_t len);

// Writes "dir/name-mod.so" into path; returns 0 if it fits in size bytes, -1 if not.
int modulePath(char *path, size_t size, const char *dir, const char *name);
