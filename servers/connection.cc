// The connections modhost holds, from accept to hand-over or close; see connection.h.
#include "connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "deadline.h"
#include "plumbing.h"

Connection *held[kConnectionsMax];
int heldCount = 0;
int connectionLimit = kConnectionsMax;

namespace {

constexpr int kFdReserve = 16;           // descriptors kept free beside the connections
constexpr int kAcceptBurst = 64;         // connections taken per wake, so that reading goes on
constexpr int kAcceptPauseMillis = 100;  // after running out of descriptors

Connection *slots;                   // connectionLimit of them, mapped by setUpConnections
Connection *spare[kConnectionsMax];  // the Free slots, a stack
int spareCount = 0;
unsigned long arrivals = 0;

// Writes the file of module name into path (size bytes); returns true if it is there.
bool findModule(const Settings &settings, const char *name, char *path, size_t size) {
  struct stat st;
  return modulePath(path, size, settings.moduleDir, name) == 0 && stat(path, &st) == 0 &&
         S_ISREG(st.st_mode);
}

// Acts on a request that has been read: a module to run waits for a process; anything else is
// answered by the server at once. "/" leads to the index module while there is one.
void judge(const Settings &settings, Connection *c) {
  switch (judgeRequest(c->reader.line, c->reader.lineLength, &c->request)) {
    case 200:
      if (!findModule(settings, c->request.name, c->path, sizeof c->path))
        answer(c, 404, "");
      else if (strcmp(c->request.method, "POST") == 0 && judgeBody(c->reader) != 0)
        answer(c, judgeBody(c->reader), "");
      else
        c->phase = Phase::Ready;  // a body is read by the request's own process
      break;
    case 404:
      if (strcmp(c->request.target, "/") == 0 &&
          findModule(settings, settings.indexModule, c->path, sizeof c->path)) {
        char location[kModuleNameMax + 16], explanation[2 * kModuleNameMax + 48];
        snprintf(location, sizeof location, "Location: /%s\r\n", settings.indexModule);
        snprintf(explanation, sizeof explanation, "The index is at <A HREF=\"/%s\">/%s</A>.",
                 settings.indexModule, settings.indexModule);
        answer(c, 302, location, explanation);
      } else {
        answer(c, 404, "");
      }
      break;
    case 405:
      answer(c, 405, "Allow: GET, HEAD, POST\r\n");
      break;
    default:
      answer(c, c->request.status, "");
      break;
  }
}

// Makes room for one more connection: closes one that has been answered, or else turns away
// the one that has waited longest for its request. Returns false if every slot holds a
// complete request.
bool freeSlot() {
  Connection *oldest = nullptr;
  for (int k = 0; k < heldCount; k++) {
    Connection *c = held[k];
    if (c->phase == Phase::Draining) {
      releaseConnection(c);
      return true;
    }
    if (c->phase == Phase::Reading && (oldest == nullptr || c->arrival < oldest->arrival))
      oldest = c;
  }
  if (oldest == nullptr) return false;
  Outcome out;
  describeRequest(*oldest, &out);
  sendPage(oldest->client, 503, "", &out);
  logRequest(out);
  releaseConnection(oldest);
  return true;
}

}  // namespace

void setUpConnections() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    perror("getrlimit");
    connectionLimit = kConnectionsMax;
  } else if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kConnectionsMax + kFdReserve) {
    connectionLimit = kConnectionsMax;
  } else {
    connectionLimit =
        limit.rlim_cur > kFdReserve ? static_cast<int>(limit.rlim_cur) - kFdReserve : 1;
  }
  size_t size = sizeof(Connection) * static_cast<size_t>(connectionLimit);
  void *table = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (table == MAP_FAILED) failCall("mmap");
  if (madvise(table, size, MADV_DONTFORK) != 0) perror("madvise");  // slower forks, no harm
  slots = static_cast<Connection *>(table);                         // zeroed: every slot Free
  for (int i = connectionLimit - 1; i >= 0; i--) spare[spareCount++] = &slots[i];
}

void copyConnection(const Connection &from, Connection *to) {
  // The buffers only as far as they are filled, so that no more of to's pages are written
  // (and, shared with a request's process, copied) than the request needs.
  const RequestReader &r = from.reader;
  memcpy(to, &from, offsetof(Connection, reader));
  memcpy(to->reader.line, r.line, r.lineLength + 1);
  memcpy(&to->reader.lineLength, &r.lineLength, sizeof r - offsetof(RequestReader, lineLength));
  memcpy(to->path, from.path, strlen(from.path) + 1);
  memcpy(to->early, from.early, from.earlyLength);
  to->earlyLength = from.earlyLength;
  to->heldAt = from.heldAt;
  to->request = from.request;
  auto rebase = [&](const char *p) {
    return p == nullptr ? nullptr : to->reader.line + (p - r.line);
  };
  Request &req = to->request;
  req.method = rebase(req.method);
  req.target = rebase(req.target);
  req.query = rebase(req.query);
  req.version = rebase(req.version);
  req.name = rebase(req.name);
}

void releaseConnection(Connection *c) {
  close(c->client);
  c->phase = Phase::Free;
  Connection *last = held[--heldCount];
  held[c->heldAt] = last;
  last->heldAt = c->heldAt;
  spare[spareCount++] = c;
}

void describeRequest(const Connection &c, Outcome *out) {
  stampArrival(c.arrived, out);
  out->arrivedMillis = c.arrivedMillis;
  char address[INET_ADDRSTRLEN] = "-";
  inet_ntop(AF_INET, &c.peer.sin_addr, address, sizeof address);
  snprintf(out->peer, sizeof out->peer, "%s:%u", address, ntohs(c.peer.sin_port));
  const Request &req = c.request;
  if (req.method == nullptr) return;
  snprintf(out->method, sizeof out->method, "%s", req.method);
  snprintf(out->path, sizeof out->path, "%s", req.target);
  if (req.query != nullptr) {
    out->hasQuery = true;
    out->queryLength = strlen(req.query);
  }
}

void answer(Connection *c, int status, const char *extra, const char *explanation) {
  Outcome out;
  describeRequest(*c, &out);
  sendPage(c->client, status, extra, &out, explanation);
  logRequest(out);
  shutdown(c->client, SHUT_WR);
  c->phase = Phase::Draining;
  c->deadline = nowMillis() + kLingerMillis;
}

void readConnection(const Settings &settings, Connection *c) {
  char chunk[kReadChunk];
  ssize_t n = read(c->client, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (c->phase == Phase::Draining) {
    if (n <= 0) releaseConnection(c);
    return;
  }
  if (n < 0) {  // reset by the client
    releaseConnection(c);
    return;
  }
  if (n == 0) {
    if (c->reader.anything)
      answer(c, 400, "");  // the client stopped in the middle of its request
    else
      releaseConnection(c);  // nothing was asked; nothing to log
    return;
  }
  size_t used;
  switch (feedRequest(&c->reader, chunk, static_cast<size_t>(n), &used)) {
    case ReadState::Reading:
      break;
    case ReadState::Complete:
      c->earlyLength = static_cast<size_t>(n) - used;
      memcpy(c->early, chunk + used, c->earlyLength);
      judge(settings, c);
      break;
    case ReadState::LineTooLong:
      answer(c, 414, "");
      break;
    case ReadState::HeadersTooLong:
      // The request line came whole before the headers: the log names it if it is well formed.
      judgeRequest(c->reader.line, c->reader.lineLength, &c->request);
      answer(c, 431, "");
      break;
  }
}

void expireConnections() {
  long long now = nowMillis();
  for (int k = heldCount - 1; k >= 0; k--) {
    Connection *c = held[k];
    if (c->phase == Phase::Reading && c->deadline <= now)
      answer(c, 408, "");
    else if (c->phase == Phase::Draining && c->deadline <= now)
      releaseConnection(c);
  }
}

bool canTakeConnection() {
  if (heldCount < connectionLimit) return true;
  for (int k = 0; k < heldCount; k++)
    if (held[k]->phase == Phase::Reading || held[k]->phase == Phase::Draining) return true;
  return false;
}

long long acceptConnections(int listener) {
  for (int taken = 0; taken < kAcceptBurst; taken++) {
    sockaddr_in peer = {};
    socklen_t peerLen = sizeof peer;
    int client = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peerLen,
                         SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
      int err = errno;
      if (err != EAGAIN && err != EINTR && err != ECONNABORTED) perror("accept");
      if (err == EMFILE || err == ENFILE) return nowMillis() + kAcceptPauseMillis;
      return 0;
    }
    if (heldCount == connectionLimit && !freeSlot()) {
      close(client);  // cannot happen while the listener is watched only with room to spare
      return 0;
    }
    Connection *c = spare[--spareCount];
    c->heldAt = heldCount;
    held[heldCount++] = c;
    c->phase = Phase::Reading;
    c->client = client;
    c->deadline = nowMillis() + kRequestSeconds * 1000LL;
    c->arrival = ++arrivals;
    clock_gettime(CLOCK_REALTIME, &c->arrived);
    c->arrivedMillis = nowMillis();
    c->peer = peer;
    c->request = Request{};
    startRequest(&c->reader);
  }
  return 0;
}

void closeConnections() {
  while (heldCount > 0) releaseConnection(held[heldCount - 1]);
}
