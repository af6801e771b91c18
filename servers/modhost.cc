// modhost: a small HTTP/1.0 server that runs modules, one process per request.
// GET /NAME?QUERY loads NAME-mod.so from the module folder and calls its httprun. The server
// reads the requests of all its connections at once and starts a process only for a complete
// request, so that connections that send nothing cannot hold up the others.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "httprequest.h"

namespace {

constexpr int DefaultPort = 8080;
constexpr const char *DefaultAddress = "127.0.0.1";
constexpr int MaxChildren = 32;  // requests served at once; more wait, read, in the server
constexpr int ListenBacklog = 64;
constexpr int ConnectionsMax = 1024;    // connections held at once, fewer if descriptors are short
constexpr int FdReserve = 16;           // descriptors kept free beside the connections
constexpr int AcceptBurst = 64;         // connections taken per wake, so that reading goes on
constexpr int AcceptPauseMillis = 100;  // after running out of descriptors
constexpr int RequestSeconds = 10;      // for the whole request line and headers
constexpr int DefaultModuleSeconds = 30;  // for the module's whole response
constexpr int MaxModuleSeconds = 3600;
constexpr int StopGraceSeconds = 5;  // for requests in progress at SIGINT or SIGTERM
constexpr int LingerMillis = 1000;   // to read what the client still sends before closing
constexpr size_t LogPathMax = 200;   // a logged path is cut to this many bytes
constexpr const char *StatusOk = "HTTP/1.0 200 OK\r\n";
static_assert(RequestSeconds == 10 && RequestLineMax == 8192 && HeaderMax == 32768,
              "the error pages below state these limits");

// How a request's process and its module's process end.
constexpr int kGraceOverSignal = SIGUSR1;  // to a request's process: the stop grace is over
constexpr int kRequestExitMillis = 1000;   // for requests' processes to end after that signal
constexpr int kExitCannotLoad = 126;       // the module's process could not load the module
constexpr int kExitNoHttprun = 127;        // the module it loaded has no httprun

// Set by the signal handlers, read by the accept loop.
volatile sig_atomic_t stopSignals = 0;

void onStop(int) { stopSignals = stopSignals + 1; }
void onChild(int) {}  // only to interrupt the wait; the loop reaps

// In a request's process: the module's process group, once there is one (its id is the
// module's pid, kept from reuse while the group has a member or the module is unreaped).
volatile sig_atomic_t moduleGroup = 0;

// In a request's process, at the end of the server's grace: the module goes with every process
// it started, so that nothing of the request (a mail command, say) lives on.
void onGraceOver(int) {
  if (moduleGroup > 0) kill(-moduleGroup, SIGKILL);
  _exit(1);
}

// The entry every module exports under its plain name.
using HttpRun = void (*)(int, char *);

struct Settings {
  int port = DefaultPort;
  char address[INET_ADDRSTRLEN] = {};
  char moduleDir[PATH_MAX] = {};
  int moduleSeconds = DefaultModuleSeconds;
};

// What one request turned out to be, for its log line.
struct Outcome {
  char peer[INET_ADDRSTRLEN] = "-";
  char method[MethodMax + 1] = "-";
  char path[LogPathMax + 1] = "-";
  size_t queryLength = 0;
  bool hasQuery = false;
  int status = 0;
  size_t sent = 0;
  char detail[96] = "";
};

struct ErrorText {
  int status;
  const char *reason;
  const char *explanation;
};

constexpr ErrorText errorTexts[] = {
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

[[noreturn]] void usage(const char *program) {
  fprintf(stderr, "Usage: %s [-t module-seconds] [port [module-dir [address]]]\n", program);
  exit(1);
}

// Milliseconds on a clock that never goes back.
long long nowMillis() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Returns milliseconds left until deadline, at least 0, at most INT_MAX.
int millisLeft(long long deadline) {
  long long left = deadline - nowMillis();
  if (left < 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Parses a whole decimal number in [low, high] into *value; returns 0 if s is one.
int parseNumber(const char *s, long low, long high, int *value) {
  char *end;
  errno = 0;
  long n = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || n < low || n > high) return -1;
  *value = static_cast<int>(n);
  return 0;
}

// Writes all of buf; returns 0 on success, -1 with errno set if a write fails.
int writeAll(int fd, const void *buf, size_t len) {
  const char *p = static_cast<const char *>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// Sends all of buf on a socket by deadline; returns 0 on success, -1 with errno set if the peer
// is gone, or with errno ETIMEDOUT if the peer has not taken it all by then.
int sendAllBy(int fd, const void *buf, size_t len, long long deadline) {
  const char *p = static_cast<const char *>(buf);
  while (len > 0) {
    pollfd pfd = {fd, POLLOUT, 0};
    int ready = poll(&pfd, 1, millisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    ssize_t n = send(fd, p, len, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

void appendDetail(Outcome *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void appendDetail(Outcome *out, const char *format, ...) {
  size_t used = strlen(out->detail);
  va_list ap;
  va_start(ap, format);
  vsnprintf(out->detail + used, sizeof out->detail - used, format, ap);
  va_end(ap);
}

// One line per request on standard output, in a single write so that children do not mix.
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

// Sends a complete response with a short HTML page for status; extra is more header lines, and
// explanation, if given, replaces the status's own.
void sendPage(int fd, int status, const char *extra, Outcome *out,
              const char *explanation = nullptr) {
  const ErrorText *text = &errorTexts[0];
  for (const ErrorText &t : errorTexts)
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

// Ends a response: no more output, then read what the client still sends, briefly, so that
// closing with unread input does not reset the connection before the client has read it.
void closeClient(int fd) {
  shutdown(fd, SHUT_WR);
  long long deadline = nowMillis() + LingerMillis;
  char sink[4096];
  pollfd pfd = {fd, POLLIN, 0};
  while (poll(&pfd, 1, millisLeft(deadline)) > 0 && read(fd, sink, sizeof sink) > 0) {
  }
  close(fd);
}

// Blocks or unblocks sig (how is SIG_BLOCK or SIG_UNBLOCK).
void maskSignal(int how, int sig) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  if (sigprocmask(how, &set, nullptr) != 0) perror("sigprocmask");
}

// Sets the CGI variables a module may read; QUERY_STRING is the query exactly as received.
void setCgiEnvironment(const Settings &settings, const char *name, const char *query,
                       const char *version, const sockaddr_in &peer) {
  char scriptName[ModuleNameMax + 2];
  snprintf(scriptName, sizeof scriptName, "/%s", name);
  char peerAddress[INET_ADDRSTRLEN], peerPort[8], serverPort[8];
  inet_ntop(AF_INET, &peer.sin_addr, peerAddress, sizeof peerAddress);
  snprintf(peerPort, sizeof peerPort, "%u", ntohs(peer.sin_port));
  snprintf(serverPort, sizeof serverPort, "%d", settings.port);
  const char *vars[][2] = {
      {"GATEWAY_INTERFACE", "CGI/1.1"},  {"SERVER_SOFTWARE", "modhost"},
      {"SERVER_NAME", settings.address}, {"SERVER_PORT", serverPort},
      {"SERVER_PROTOCOL", version},      {"REQUEST_METHOD", "GET"},
      {"SCRIPT_NAME", scriptName},       {"QUERY_STRING", query},
      {"REMOTE_ADDR", peerAddress},      {"REMOTE_PORT", peerPort},
  };
  for (const auto &var : vars)
    if (setenv(var[0], var[1], 1) != 0) perror("setenv");
}

// The module's own process: loads the module and calls httprun on fd, which ends the process.
// Exits with status kExitCannotLoad or kExitNoHttprun if it cannot call httprun.
[[noreturn]] void runModule(const Settings &settings, const char *path, const char *name,
                            char *query, const char *version, const sockaddr_in &peer, int fd,
                            pid_t relay) {
  // A process group of its own keeps the terminal's signals away from the module: the server
  // decides when requests end. Dispositions and mask go back to what modules expect.
  if (setpgid(0, 0) != 0) perror("setpgid");
  signal(SIGPIPE, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(kGraceOverSignal, SIG_DFL);
  maskSignal(SIG_UNBLOCK, SIGTERM);
  maskSignal(SIG_UNBLOCK, kGraceOverSignal);
  // The relay bounds the module's time; if the relay is gone, so is the module.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) perror("prctl");
  if (getppid() != relay) _exit(1);
  int devNull = open("/dev/null", O_RDONLY);
  if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0) perror("/dev/null");
  if (devNull > STDIN_FILENO) close(devNull);
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) perror("dup2");  // keep the log clean
  setCgiEnvironment(settings, name, query, version, peer);
  void *module = dlopen(path, RTLD_LAZY);
  if (module == nullptr) {
    fprintf(stderr, "modhost: dlopen: %s\n", dlerror());
    _exit(kExitCannotLoad);
  }
  auto httprun = reinterpret_cast<HttpRun>(dlsym(module, "httprun"));
  if (httprun == nullptr) {
    fprintf(stderr, "modhost: dlsym: httprun not found: %s\n", dlerror());
    _exit(kExitNoHttprun);
  }
  httprun(fd, query);
  exit(0);  // a module that returns: flush what it wrote through stdio
}

// Tells in out's detail how the module process ended. Returns what the 500 page of a module
// that wrote nothing says, if the end itself explains it; else null.
const char *describeExit(int status, Outcome *out) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == kExitCannotLoad) {
    appendDetail(out, "module cannot be loaded");
    return "The module could not be loaded.";
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kExitNoHttprun) {
    appendDetail(out, "module has no httprun");
    return "The module has no httprun entry point.";
  }
  if (WIFSIGNALED(status))
    appendDetail(out, "module killed by signal %d", WTERMSIG(status));
  else if (WIFEXITED(status))
    appendDetail(out, "module exit %d", WEXITSTATUS(status));
  return nullptr;
}

// Runs the module in a process of its own on one end of a socket pair and relays what it
// writes to the client: the status line goes first, with the module's first bytes, and a
// module that ends without writing anything gives a 500 that says why instead. A module past
// its time is killed with its whole process group.
void serveModule(const Settings &settings, int client, const char *path, const char *name,
                 char *query, const char *version, const sockaddr_in &peer, Outcome *out) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    perror("socketpair");
    sendPage(client, 500, "", out);
    return;
  }
  pid_t relay = getpid();
  maskSignal(SIG_BLOCK, kGraceOverSignal);  // until moduleGroup names the new group
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    maskSignal(SIG_UNBLOCK, kGraceOverSignal);
    close(pair[0]);
    close(pair[1]);
    sendPage(client, 500, "", out);
    return;
  }
  if (pid == 0) {
    close(client);
    close(pair[0]);
    runModule(settings, path, name, query, version, peer, pair[1], relay);
  }
  // Made here as well as in the module, so that the group exists before anything signals it.
  setpgid(pid, pid);
  moduleGroup = pid;
  maskSignal(SIG_UNBLOCK, kGraceOverSignal);
  close(pair[1]);

  long long deadline = nowMillis() + settings.moduleSeconds * 1000LL;
  bool started = false, clientGone = false, timedOut = false;
  char buf[16384];
  for (;;) {
    pollfd pfd = {pair[0], POLLIN, 0};
    int ready = poll(&pfd, 1, millisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      if (ready < 0) perror("poll");
      timedOut = true;
      break;
    }
    ssize_t n = read(pair[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) perror("read");
    if (n <= 0) break;
    if (clientGone) continue;  // let the module finish its work undisturbed
    bool first = !started;
    started = true;
    if ((first && sendAllBy(client, StatusOk, strlen(StatusOk), deadline) != 0) ||
        sendAllBy(client, buf, static_cast<size_t>(n), deadline) != 0) {
      if (errno == ETIMEDOUT) {  // a client that does not read is cut off at the same limit
        timedOut = true;
        break;
      }
      clientGone = true;
      continue;
    }
    out->sent += (first ? strlen(StatusOk) : 0) + static_cast<size_t>(n);
  }
  if (timedOut) {
    // And whatever it started: nothing of the request may go on.
    if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
    appendDetail(out, "module timed out, ");
  }
  close(pair[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const char *why = describeExit(status, out);
  if (clientGone) appendDetail(out, ", client gone");
  if (started) {
    out->status = 200;
    return;
  }
  if (why == nullptr) appendDetail(out, ", no output");  // it ran, but wrote nothing
  char late[64];
  if (timedOut) {
    snprintf(late, sizeof late, "The module did not answer within %d seconds.",
             settings.moduleSeconds);
    why = late;
  } else if (why == nullptr) {
    why = "The module ended without writing anything.";
  }
  sendPage(client, 500, "", out, why);
}

// The children serving requests now.
pid_t children[MaxChildren];
int childCount = 0;

// Drops pid from the children serving requests.
void forgetChild(pid_t pid) {
  for (int i = 0; i < childCount; i++) {
    if (children[i] == pid) {
      children[i] = children[--childCount];
      return;
    }
  }
}

// Reaps every child that has ended; returns the number still running.
int reapChildren() {
  pid_t pid;
  while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) forgetChild(pid);
  if (pid < 0 && errno != ECHILD) perror("waitpid");
  return childCount;
}

// Installs handler for sig without SA_RESTART, so that a blocked call returns EINTR.
void setHandler(int sig, void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  if (sigaction(sig, &sa, nullptr) != 0) {
    perror("sigaction");
    exit(1);
  }
}

// A connection held by the server: its request being read, a complete request waiting for a
// process, or an answered request whose last input is read before the connection is closed.
enum class Phase { Free, Reading, Ready, Draining };

struct Connection {
  Phase phase;
  int fd;
  long long deadline;     // Reading: the request's limit; Draining: the end of the linger
  unsigned long arrival;  // order of acceptance: waiting requests are served first come first
  sockaddr_in peer;
  RequestReader reader;
  Request request;      // points into reader.line once the request is complete
  char path[PATH_MAX];  // the module file, when Ready
};

// Slots of connections; a connection never moves, since its request points into itself.
Connection connections[ConnectionsMax];
int connectionLimit = ConnectionsMax;  // slots in use at most
int connectionCount = 0;
unsigned long arrivals = 0;

// Returns the number of connections the descriptor limit allows, at most ConnectionsMax.
int connectionsAllowed() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    perror("getrlimit");
    return ConnectionsMax;
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= ConnectionsMax + FdReserve)
    return ConnectionsMax;
  return limit.rlim_cur > FdReserve ? static_cast<int>(limit.rlim_cur) - FdReserve : 1;
}

void releaseConnection(Connection *c) {
  close(c->fd);
  c->phase = Phase::Free;
  connectionCount--;
}

// Fills out with the client and, if the request line was judged well formed, the request.
void describeRequest(const Connection &c, Outcome *out) {
  inet_ntop(AF_INET, &c.peer.sin_addr, out->peer, sizeof out->peer);
  const Request &req = c.request;
  if (req.method == nullptr) return;
  snprintf(out->method, sizeof out->method, "%s", req.method);
  snprintf(out->path, sizeof out->path, "%s", req.target);
  if (req.query != nullptr) {
    out->hasQuery = true;
    out->queryLength = strlen(req.query);
  }
}

// Answers c with a page of the server's own and logs it, then reads what the client still
// sends until the linger ends; extra is more header lines.
void answer(Connection *c, int status, const char *extra) {
  Outcome out;
  describeRequest(*c, &out);
  sendPage(c->fd, status, extra, &out);
  logRequest(out);
  shutdown(c->fd, SHUT_WR);
  c->phase = Phase::Draining;
  c->deadline = nowMillis() + LingerMillis;
}

// Acts on a request that has been read: a module to run waits for a process; anything else is
// answered by the server at once.
void judge(const Settings &settings, Connection *c) {
  struct stat st;
  switch (judgeRequest(c->reader.line, c->reader.lineLength, &c->request)) {
    case 200:
      if (modulePath(c->path, sizeof c->path, settings.moduleDir, c->request.name) != 0 ||
          stat(c->path, &st) != 0 || !S_ISREG(st.st_mode)) {
        answer(c, 404, "");
      } else {
        c->phase = Phase::Ready;
      }
      break;
    case 302:
      answer(c, 302, "Location: /tolv\r\n");
      break;
    case 405:
      answer(c, 405, "Allow: GET\r\n");
      break;
    default:
      answer(c, c->request.status, "");
      break;
  }
}

// Reads what has arrived on c: more of its request, or, once answered, input to drop.
void readConnection(const Settings &settings, Connection *c) {
  char chunk[4096];
  ssize_t n = read(c->fd, chunk, sizeof chunk);
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
      judge(settings, c);
      break;
    case ReadState::LineTooLong:
      answer(c, 414, "");
      break;
    case ReadState::HeadersTooLong:
      answer(c, 431, "");
      break;
  }
}

// Answers requests not complete in time with a 408 and closes connections whose linger is over.
void expireConnections() {
  long long now = nowMillis();
  for (int i = 0; i < connectionLimit; i++) {
    Connection *c = &connections[i];
    if (c->phase == Phase::Reading && c->deadline <= now)
      answer(c, 408, "");
    else if (c->phase == Phase::Draining && c->deadline <= now)
      releaseConnection(c);
  }
}

// Makes room for one more connection: closes one that has been answered, or else turns away
// the one that has waited longest for its request. Returns false if every slot holds a
// complete request.
bool freeSlot() {
  Connection *oldest = nullptr;
  for (int i = 0; i < connectionLimit; i++) {
    Connection *c = &connections[i];
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
  sendPage(oldest->fd, 503, "", &out);
  logRequest(out);
  releaseConnection(oldest);
  return true;
}

// Returns true if a new connection could be taken now.
bool canTakeConnection() {
  if (connectionCount < connectionLimit) return true;
  for (int i = 0; i < connectionLimit; i++)
    if (connections[i].phase == Phase::Reading || connections[i].phase == Phase::Draining)
      return true;
  return false;
}

// Takes the connections waiting on the listener; returns the time until which accepting
// should pause (0 for no pause).
long long acceptConnections(int listener) {
  for (int taken = 0; taken < AcceptBurst; taken++) {
    sockaddr_in peer = {};
    socklen_t peerLen = sizeof peer;
    int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peerLen,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      int err = errno;
      if (err != EAGAIN && err != EINTR && err != ECONNABORTED) perror("accept");
      if (err == EMFILE || err == ENFILE) return nowMillis() + AcceptPauseMillis;
      return 0;
    }
    if (connectionCount == connectionLimit && !freeSlot()) {
      close(fd);  // cannot happen while the listener is watched only with room to spare
      return 0;
    }
    Connection *c = connections;
    while (c->phase != Phase::Free) c++;
    c->phase = Phase::Reading;
    c->fd = fd;
    c->deadline = nowMillis() + RequestSeconds * 1000LL;
    c->arrival = ++arrivals;
    c->peer = peer;
    c->request = Request{};
    startRequest(&c->reader);
    connectionCount++;
  }
  return 0;
}

// Runs c's module in a process of its own; the server keeps no part of the connection.
void startChild(const Settings &settings, int listener, Connection *c,
                const sigset_t &originalMask) {
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    answer(c, 503, "");
    return;
  }
  if (pid == 0) {
    close(listener);
    for (Connection &other : connections)
      if (other.phase != Phase::Free && &other != c) close(other.fd);
    setHandler(SIGINT, SIG_IGN);  // the server passes stops on as SIGTERM
    setHandler(SIGTERM, SIG_DFL);
    setHandler(SIGCHLD, SIG_DFL);
    setHandler(kGraceOverSignal, onGraceOver);
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    maskSignal(SIG_BLOCK, SIGTERM);  // the request is answered, whatever comes
    int flags = fcntl(c->fd, F_GETFL);
    if (flags < 0 || fcntl(c->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) perror("fcntl");
    Outcome out;
    describeRequest(*c, &out);
    char noQuery[] = "";
    serveModule(settings, c->fd, c->path, c->request.name,
                c->request.query != nullptr ? c->request.query : noQuery, c->request.version,
                c->peer, &out);
    closeClient(c->fd);
    logRequest(out);
    _exit(0);
  }
  releaseConnection(c);
  children[childCount++] = pid;
}

// Starts processes for complete requests, oldest first, while there is room for them.
void startWaitingRequests(const Settings &settings, int listener, const sigset_t &originalMask) {
  while (childCount < MaxChildren) {
    Connection *oldest = nullptr;
    for (int i = 0; i < connectionLimit; i++) {
      Connection *c = &connections[i];
      if (c->phase == Phase::Ready && (oldest == nullptr || c->arrival < oldest->arrival))
        oldest = c;
    }
    if (oldest == nullptr) return;
    startChild(settings, listener, oldest, originalMask);
  }
}

// Closes every connection the server holds: requests not yet handed to a process are dropped.
void closeConnections() {
  for (int i = 0; i < connectionLimit; i++)
    if (connections[i].phase != Phase::Free) releaseConnection(&connections[i]);
}

// Reaps children until none is left, millis have passed, or (if untilSecondStop) a second stop
// signal has come.
void awaitChildren(int millis, const sigset_t &waitMask, bool untilSecondStop) {
  long long deadline = nowMillis() + millis;
  while (reapChildren() > 0 && !(untilSecondStop && stopSignals >= 2)) {
    int left = millisLeft(deadline);
    if (left == 0) break;
    timespec timeout = {left / 1000, (left % 1000) * 1000000L};
    ppoll(nullptr, 0, &timeout, &waitMask);
  }
}

// Waits for the requests in progress, at most StopGraceSeconds or until a second stop signal,
// then ends what is left, each request with its module's process group; every child is reaped.
void stopChildren(const sigset_t &waitMask) {
  awaitChildren(StopGraceSeconds * 1000, waitMask, true);
  for (int i = 0; i < childCount; i++) kill(children[i], kGraceOverSignal);
  awaitChildren(kRequestExitMillis, waitMask, false);
  for (int i = 0; i < childCount; i++) kill(children[i], SIGKILL);  // one that is stopped, say
  while (childCount > 0) {
    pid_t pid = waitpid(-1, nullptr, 0);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) {
      perror("waitpid");
      return;
    }
    forgetChild(pid);
  }
}

// Reads the command line into settings; exits with the usage line on any error.
void parseArguments(int argc, char *argv[], Settings *settings) {
  int opt;
  while ((opt = getopt(argc, argv, "t:")) != -1) {
    if (opt != 't' || parseNumber(optarg, 1, MaxModuleSeconds, &settings->moduleSeconds) != 0)
      usage(argv[0]);
  }
  int rest = argc - optind;
  char **args = argv + optind;
  if (rest > 3) usage(argv[0]);
  if (rest >= 1 && parseNumber(args[0], 0, 65535, &settings->port) != 0) usage(argv[0]);

  char dir[PATH_MAX];
  if (rest >= 2) {
    snprintf(dir, sizeof dir, "%s", args[1]);
  } else {  // the folder that holds this program
    ssize_t n = readlink("/proc/self/exe", dir, sizeof dir - 1);
    if (n < 0) {
      perror("readlink /proc/self/exe");
      exit(1);
    }
    dir[n] = '\0';
    *strrchr(dir, '/') = '\0';
  }
  struct stat st;
  if (realpath(dir, settings->moduleDir) == nullptr || stat(settings->moduleDir, &st) != 0) {
    perror(dir);
    exit(1);
  }
  if (!S_ISDIR(st.st_mode)) {
    fprintf(stderr, "%s: not a directory\n", dir);
    exit(1);
  }

  const char *address = rest >= 3 ? args[2] : DefaultAddress;
  in_addr unused;
  if (inet_pton(AF_INET, address, &unused) != 1) {
    fprintf(stderr, "%s: not an IPv4 address\n", address);
    usage(argv[0]);
  }
  snprintf(settings->address, sizeof settings->address, "%s", address);
}

// Returns a listening socket on the settings' address and port, with the port filled in.
int openListener(Settings *settings) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    perror("socket");
    exit(1);
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) perror("setsockopt");
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(settings->port));
  inet_pton(AF_INET, settings->address, &addr.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    perror("bind");
    exit(1);
  }
  if (listen(fd, ListenBacklog) != 0) {
    perror("listen");
    exit(1);
  }
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    perror("getsockname");
    exit(1);
  }
  settings->port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char *argv[]) {
  Settings settings;
  parseArguments(argc, argv, &settings);

  // The signals are blocked except while waiting in ppoll, so none is missed between a check
  // of the flags and the wait.
  sigset_t blocked, originalMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGCHLD);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &blocked, &originalMask) != 0) {
    perror("sigprocmask");
    return 1;
  }
  setHandler(SIGINT, onStop);
  setHandler(SIGTERM, onStop);
  setHandler(SIGCHLD, onChild);
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) perror("signal");  // a vanished client is no fault

  int listener = openListener(&settings);
  printf("modhost: listening on http://%s:%d/ with modules from %s\n", settings.address,
         settings.port, settings.moduleDir);
  fflush(stdout);

  connectionLimit = connectionsAllowed();
  int status = 0;
  long long acceptPausedUntil = 0;
  static pollfd fds[ConnectionsMax + 1];
  static Connection *polled[ConnectionsMax + 1];
  while (stopSignals == 0) {
    reapChildren();
    startWaitingRequests(settings, listener, originalMask);
    expireConnections();

    // The listener is watched only while a new connection can be taken; until then new
    // clients wait in its backlog.
    long long now = nowMillis(), wake = LLONG_MAX;
    bool listen = canTakeConnection() && now >= acceptPausedUntil;
    if (!listen && acceptPausedUntil > now) wake = acceptPausedUntil;
    fds[0] = {listener, static_cast<short>(listen ? POLLIN : 0), 0};
    nfds_t count = 1;
    for (int i = 0; i < connectionLimit; i++) {
      Connection *c = &connections[i];
      if (c->phase != Phase::Reading && c->phase != Phase::Draining) continue;
      fds[count] = {c->fd, POLLIN, 0};
      polled[count++] = c;
      if (c->deadline < wake) wake = c->deadline;
    }
    int left = wake == LLONG_MAX ? -1 : millisLeft(wake);
    timespec timeout = {left / 1000, (left % 1000) * 1000000L};
    int ready = ppoll(fds, count, left < 0 ? nullptr : &timeout, &originalMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("ppoll");
      status = 1;
      break;
    }
    for (nfds_t k = 1; k < count; k++)
      if (fds[k].revents != 0) readConnection(settings, polled[k]);
    if (fds[0].revents & POLLIN) acceptPausedUntil = acceptConnections(listener);
  }

  close(listener);
  closeConnections();
  stopChildren(originalMask);
  printf("modhost: stopped\n");
  fflush(stdout);
  return status;
}
