// Fuzz target for modhost's request reading and judging: arbitrary bytes as they would arrive
// on a connection, in pieces whose size the first input byte chooses.
// Properties: the pieces do not change the result; a complete request line is the input's first
// line that is not empty; every outcome is a status modhost answers with; a module request
// names a module of
// letters, digits, '-' and '_' inside the module folder, and hands over the bytes after the
// first '?' of the target, undecoded; nothing is read past a piece or the line.
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "fuzz.h"
#include "httprequest.h"

namespace {

constexpr const char *kModuleDir = "/srv/modules";

// Feeds stream to r in pieces of piece bytes, each in a buffer of exactly its size.
ReadState feedInPieces(RequestReader *r, const std::string &stream, size_t piece) {
  size_t at = 0;
  while (at < stream.size()) {
    size_t n = std::min(piece, stream.size() - at);
    std::vector<char> buf(stream.begin() + at, stream.begin() + at + n);
    size_t used = n + 1;
    ReadState state = feedRequest(r, buf.data(), n, &used);
    FUZZ_REQUIRE(used <= n);
    if (state == ReadState::Reading) FUZZ_REQUIRE(used == n);
    at += used;
    if (state != ReadState::Reading) {
      size_t more = 1;
      FUZZ_REQUIRE(feedRequest(r, "x", 1, &more) == state && more == 0);  // it stays done
      return state;
    }
  }
  return r->state;
}

bool isDigitOrLetter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Checks a judged line against the raw line it was made from.
void checkJudged(const std::string &raw, const Request &req) {
  int s = req.status;
  FUZZ_REQUIRE(s == 200 || s == 400 || s == 404 || s == 405);
  if (s == 400) return;
  // Well formed: printable ASCII, exactly "METHOD SP TARGET SP VERSION".
  for (char c : raw) FUZZ_REQUIRE(c >= 0x20 && c < 0x7f);
  size_t sp1 = raw.find(' '), sp2 = raw.find(' ', sp1 + 1);
  FUZZ_REQUIRE(sp1 != std::string::npos && sp2 != std::string::npos);
  FUZZ_REQUIRE(raw.find(' ', sp2 + 1) == std::string::npos);
  std::string method = raw.substr(0, sp1), target = raw.substr(sp1 + 1, sp2 - sp1 - 1);
  FUZZ_REQUIRE(method == req.method && raw.substr(sp2 + 1) == req.version);
  FUZZ_REQUIRE(strcmp(req.version, "HTTP/1.0") == 0 || strcmp(req.version, "HTTP/1.1") == 0);
  FUZZ_REQUIRE(!method.empty() && method.size() <= kMethodMax);
  size_t question = target.find('?');
  std::string targetPath = target.substr(0, question);
  // An absolute-form target stands for its path: from the first '/' after the host, or "/".
  for (const char *scheme : {"http://", "https://"}) {
    size_t n = strlen(scheme);
    if (targetPath[0] != '/' && strncasecmp(targetPath.c_str(), scheme, n) == 0) {
      size_t slash = targetPath.find('/', n);
      targetPath = slash == std::string::npos ? "/" : targetPath.substr(slash);
    }
  }
  FUZZ_REQUIRE(targetPath[0] == '/');
  FUZZ_REQUIRE(targetPath == req.target);
  if (question == std::string::npos)
    FUZZ_REQUIRE(req.query == nullptr);
  else
    FUZZ_REQUIRE(req.query != nullptr && target.substr(question + 1) == req.query);
  FUZZ_REQUIRE((s == 405) == (method != "GET" && method != "HEAD" && method != "POST"));
  if (s != 200) {
    FUZZ_REQUIRE(req.name == nullptr);
    return;
  }
  // A module request: a plain name, and its file directly inside the module folder.
  std::string name = req.name;
  FUZZ_REQUIRE("/" + name == req.target);
  FUZZ_REQUIRE(!name.empty() && name.size() <= kModuleNameMax);
  for (char c : name) FUZZ_REQUIRE(isDigitOrLetter(c) || c == '-' || c == '_');
  char path[256];
  FUZZ_REQUIRE(modulePath(path, sizeof path, kModuleDir, req.name) == 0);
  std::string expected = std::string(kModuleDir) + "/" + name + "-mod.so";
  FUZZ_REQUIRE(path == expected);
  FUZZ_REQUIRE(strchr(path + strlen(kModuleDir) + 1, '/') == nullptr);
  FUZZ_REQUIRE(modulePath(path, expected.size(), kModuleDir, req.name) == -1);  // no room: refused
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t piece = data[0] % 64 + 1;
  std::string stream(reinterpret_cast<const char *>(data + 1), size - 1);

  static RequestReader whole, pieces;
  startRequest(&whole);
  startRequest(&pieces);
  size_t used;
  ReadState state = feedRequest(&whole, stream.data(), stream.size(), &used);
  FUZZ_REQUIRE(feedInPieces(&pieces, stream, piece) == state);
  FUZZ_REQUIRE(whole.lineLength == pieces.lineLength && whole.anything == !stream.empty());

  // The request line is the first line that is not empty, without its line end, and never over
  // the limit.
  size_t start = 0, lf;
  std::string first;
  for (;;) {
    lf = stream.find('\n', start);
    first = stream.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    if (!first.empty() && first.back() == '\r' && lf != std::string::npos) first.pop_back();
    if (!first.empty() || lf == std::string::npos) break;
    start = lf + 1;
  }
  int status = 0;
  switch (state) {
    case ReadState::Reading:  // the client ends here: a 400 if it sent anything
      FUZZ_REQUIRE(used == stream.size() && first.size() <= kRequestLineMax + 1);
      status = stream.empty() ? 0 : 400;
      break;
    case ReadState::LineTooLong:
      FUZZ_REQUIRE(first.size() > kRequestLineMax);
      status = 414;
      break;
    case ReadState::HeadersTooLong:
      FUZZ_REQUIRE(used - (lf + 1) == kHeaderMax + 1);
      status = 431;
      break;
    case ReadState::Complete: {
      FUZZ_REQUIRE(lf != std::string::npos && first.size() <= kRequestLineMax);
      FUZZ_REQUIRE(whole.lineLength == first.size());
      FUZZ_REQUIRE(memcmp(whole.line, first.data(), first.size()) == 0);
      FUZZ_REQUIRE(memcmp(pieces.line, first.data(), first.size()) == 0);
      // Judged in a buffer of exactly the size judgeRequest may use.
      std::vector<char> line(first.begin(), first.end());
      line.push_back('#');
      Request req;
      status = judgeRequest(line.data(), first.size(), &req);
      FUZZ_REQUIRE(status == req.status);
      checkJudged(first, req);
      // What the headers say of a body does not depend on how they came in pieces.
      FUZZ_REQUIRE(judgeBody(whole) == judgeBody(pieces));
      FUZZ_REQUIRE(whole.contentLength == pieces.contentLength);
      if (judgeBody(whole) == 0)
        FUZZ_REQUIRE(whole.contentLength >= 0 &&
                     whole.contentLength <= static_cast<long long>(kBodyMax));
      else
        FUZZ_REQUIRE(judgeBody(whole) == 400 || judgeBody(whole) == 411 ||
                     judgeBody(whole) == 413);
      break;
    }
  }
  FUZZ_REQUIRE(status == 0 || status == 200 || status == 400 || status == 404 || status == 405 ||
               status == 414 || status == 431);
  return 0;
}
