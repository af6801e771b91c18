// modhost: a small HTTP/1.0 server that runs modules, one process per request.
// GET /NAME?QUERY loads NAME-mod.so from the module folder and calls its httprun.
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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int DefaultPort = 8080;
constexpr const char *DefaultAddress = "127.0.0.1";
constexpr int MaxChildren = 32;  // requests served at once; more wait in the backlog
constexpr int ListenBacklog = 64;
constexpr int RequestSeconds = 10;        // for the whole request line and headers
constexpr int DefaultModuleSeconds = 30;  // for the module's whole response
constexpr int MaxModuleSeconds = 3600;
constexpr int StopGraceSeconds = 5;      // for requests in progress at SIGINT or SIGTERM
constexpr int LingerMillis = 1000;       // to read what the client still sends before closing
constexpr size_t RequestLineMax = 8192;  // bytes, without the line end
constexpr size_t HeaderMax = 32768;      // all header lines together
constexpr size_t ModuleNameMax = 128;
constexpr size_t LogPathMax = 200;  // a logged path is cut to this many bytes
constexpr const char *StatusOk = "HTTP/1.0 200 OK\r\n";
static_assert(RequestSeconds == 10 && RequestLineMax == 8192 && HeaderMax == 32768,
              "the error pages below state these limits");

// Set by the signal handlers, read by the accept loop.
volatile sig_atomic_t stopSignals = 0;

void onStop(int) { stopSignals = stopSignals + 1; }
void onChild(int) {}  // only to interrupt the wait; the loop reaps

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
  char method[16] = "-";
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

// Sends a complete response with a short HTML page for status; extra is more header lines.
void sendPage(int fd, int status, const char *extra, Outcome *out) {
  const ErrorText *text = &errorTexts[0];
  for (const ErrorText &t : errorTexts)
    if (t.status == status) text = &t;
  char body[512];
  int bodyLen = snprintf(body, sizeof body, "<TITLE>%d %s</TITLE>\n<H1>%s</H1>\n%s<P>\n", status,
                         text->reason, text->reason, text->explanation);
  char head[512];
  int headLen = snprintf(head, sizeof head,
                         "HTTP/1.0 %d %s\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                         "Connection: close\r\n%s\r\n",
                         status, text->reason, bodyLen, extra);
  out->status = status;
  if (bodyLen < 0 || headLen < 0) return;
  iovec parts[2] = {{head, static_cast<size_t>(headLen)}, {body, static_cast<size_t>(bodyLen)}};
  if (writev(fd, parts, 2) >= 0) out->sent += static_cast<size_t>(headLen + bodyLen);
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

enum class ReadResult { Complete, Closed, Incomplete, TimedOut, LineTooLong, HeadersTooLong };

// Reads the request line into line (NUL-terminated, line end removed) and discards the header
// lines up to the empty line, all within RequestSeconds.
ReadResult readRequest(int fd, char (&line)[RequestLineMax + 2]) {
  long long deadline = nowMillis() + RequestSeconds * 1000LL;
  size_t lineLen = 0, headerBytes = 0, headerLineLen = 0;
  bool inHeaders = false, anything = false;
  char chunk[4096];
  for (;;) {
    pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, millisLeft(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("poll");
      return ReadResult::Closed;
    }
    if (ready == 0) return ReadResult::TimedOut;
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadResult::Closed;  // reset by the client
    }
    if (n == 0) return anything ? ReadResult::Incomplete : ReadResult::Closed;
    anything = true;
    for (ssize_t i = 0; i < n; i++) {
      char c = chunk[i];
      if (!inHeaders) {
        if (c == '\n') {
          if (lineLen > 0 && line[lineLen - 1] == '\r') lineLen--;
          if (lineLen > RequestLineMax) return ReadResult::LineTooLong;
          line[lineLen] = '\0';
          inHeaders = true;
          if (strstr(line, "HTTP/") == nullptr) return ReadResult::Complete;  // no headers follow
        } else {
          if (lineLen == RequestLineMax + 1) return ReadResult::LineTooLong;  // room for a CR
          line[lineLen++] = c;
        }
      } else {
        if (++headerBytes > HeaderMax) return ReadResult::HeadersTooLong;
        if (c == '\n') {
          if (headerLineLen == 0) return ReadResult::Complete;
          headerLineLen = 0;
        } else if (c != '\r' || headerLineLen > 0) {
          headerLineLen++;
        }
      }
    }
  }
}

// Returns true if s is a non-empty run of letters, digits, '-' and '_' of bounded length.
bool isModuleName(const char *s, size_t len) {
  if (len == 0 || len > ModuleNameMax) return false;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_'))
      return false;
  }
  return true;
}

// Splits a request line "METHOD SP TARGET SP HTTP/1.x" in place. Returns 0 if it is well formed;
// -1 otherwise.
int parseRequestLine(char *line, char **method, char **target, char **version) {
  for (const char *p = line; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x7f) return -1;  // controls, DEL and bytes outside ASCII
  }
  char *sp1 = strchr(line, ' ');
  if (sp1 == nullptr) return -1;
  char *sp2 = strchr(sp1 + 1, ' ');
  if (sp2 == nullptr || strchr(sp2 + 1, ' ') != nullptr) return -1;
  *sp1 = *sp2 = '\0';
  *method = line;
  *target = sp1 + 1;
  *version = sp2 + 1;
  size_t methodLen = strlen(*method);
  if (methodLen == 0 || methodLen >= sizeof Outcome::method) return -1;
  for (const char *p = *method; *p != '\0'; p++)
    if (!((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z'))) return -1;
  if (strcmp(*version, "HTTP/1.0") != 0 && strcmp(*version, "HTTP/1.1") != 0) return -1;
  if ((*target)[0] != '/') return -1;
  return 0;
}

// Blocks or unblocks SIGTERM (how is SIG_BLOCK or SIG_UNBLOCK).
void maskSigterm(int how) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  if (sigprocmask(how, &term, nullptr) != 0) perror("sigprocmask");
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
// Exits with status 126 if the module cannot be loaded, 127 if it has no httprun.
[[noreturn]] void runModule(const Settings &settings, const char *path, const char *name,
                            char *query, const char *version, const sockaddr_in &peer, int fd,
                            pid_t relay) {
  // A process group of its own keeps the terminal's signals away from the module: the server
  // decides when requests end. Dispositions and mask go back to what modules expect.
  if (setpgid(0, 0) != 0) perror("setpgid");
  signal(SIGPIPE, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  maskSigterm(SIG_UNBLOCK);
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
    _exit(126);
  }
  auto httprun = reinterpret_cast<HttpRun>(dlsym(module, "httprun"));
  if (httprun == nullptr) {
    fprintf(stderr, "modhost: dlsym: httprun not found: %s\n", dlerror());
    _exit(127);
  }
  httprun(fd, query);
  exit(0);  // a module that returns: flush what it wrote through stdio
}

// Describes how the module process ended, into out's detail.
void describeExit(int status, Outcome *out) {
  if (WIFSIGNALED(status))
    appendDetail(out, "module killed by signal %d", WTERMSIG(status));
  else if (WIFEXITED(status) && WEXITSTATUS(status) == 126)
    appendDetail(out, "module cannot be loaded");
  else if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
    appendDetail(out, "module has no httprun");
  else if (WIFEXITED(status))
    appendDetail(out, "module exit %d", WEXITSTATUS(status));
}

// Runs the module in a process of its own on one end of a socket pair and relays what it
// writes to the client: the status line goes first, with the module's first bytes, and a
// module that ends without writing anything gives a 500 instead.
void serveModule(const Settings &settings, int client, const char *path, const char *name,
                 char *query, const char *version, const sockaddr_in &peer, Outcome *out) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    perror("socketpair");
    sendPage(client, 500, "", out);
    return;
  }
  pid_t relay = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
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
    kill(pid, SIGKILL);
    appendDetail(out, "module timed out, ");
  }
  close(pair[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  describeExit(status, out);
  if (clientGone) appendDetail(out, ", client gone");
  if (!started)
    sendPage(client, 500, "", out);
  else
    out->status = 200;
}

// Serves one connection in a process of its own.
void serveClient(const Settings &settings, int client, const sockaddr_in &peer) {
  Outcome out;
  inet_ntop(AF_INET, &peer.sin_addr, out.peer, sizeof out.peer);
  char line[RequestLineMax + 2];
  ReadResult result = readRequest(client, line);
  // Until now the server's SIGTERM ends this process; from here the request is answered.
  maskSigterm(SIG_BLOCK);
  switch (result) {
    case ReadResult::Closed:
      close(client);
      return;  // nothing was asked; nothing to log
    case ReadResult::Incomplete:
      sendPage(client, 400, "", &out);
      break;
    case ReadResult::TimedOut:
      sendPage(client, 408, "", &out);
      break;
    case ReadResult::LineTooLong:
      sendPage(client, 414, "", &out);
      break;
    case ReadResult::HeadersTooLong:
      sendPage(client, 431, "", &out);
      break;
    case ReadResult::Complete: {
      char *method, *target, *version;
      if (parseRequestLine(line, &method, &target, &version) != 0) {
        sendPage(client, 400, "", &out);
        break;
      }
      snprintf(out.method, sizeof out.method, "%s", method);
      char *query = strchr(target, '?');
      if (query != nullptr) {
        *query++ = '\0';
        out.hasQuery = true;
        out.queryLength = strlen(query);
      }
      snprintf(out.path, sizeof out.path, "%s", target);
      const char *name = target + 1;
      char modulePath[PATH_MAX];
      struct stat st;
      if (strcmp(method, "GET") != 0) {
        sendPage(client, 405, "Allow: GET\r\n", &out);
      } else if (strcmp(target, "/") == 0) {
        sendPage(client, 302, "Location: /tolv\r\n", &out);
      } else if (!isModuleName(name, strlen(name)) ||
                 snprintf(modulePath, sizeof modulePath, "%s/%s-mod.so", settings.moduleDir,
                          name) >= static_cast<int>(sizeof modulePath) ||
                 stat(modulePath, &st) != 0 || !S_ISREG(st.st_mode)) {
        sendPage(client, 404, "", &out);
      } else {
        char noQuery[] = "";
        serveModule(settings, client, modulePath, name, query != nullptr ? query : noQuery, version,
                    peer, &out);
      }
      break;
    }
  }
  closeClient(client);
  logRequest(out);
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

// Starts a child for the accepted connection, or turns the client away with a 503.
void startChild(const Settings &settings, int listener, int client, const sockaddr_in &peer,
                const sigset_t &originalMask) {
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    Outcome out;
    sendPage(client, 503, "", &out);
    close(client);
    return;
  }
  if (pid == 0) {
    close(listener);
    setHandler(SIGINT, SIG_IGN);  // the server passes stops on as SIGTERM
    setHandler(SIGTERM, SIG_DFL);
    setHandler(SIGCHLD, SIG_DFL);
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    serveClient(settings, client, peer);
    _exit(0);
  }
  close(client);
  children[childCount++] = pid;
}

// Ends the children still waiting for a request, waits for the requests in progress, at most
// StopGraceSeconds or until a second stop signal, then kills what is left; every child is reaped.
void stopChildren(const sigset_t &waitMask) {
  for (int i = 0; i < childCount; i++) kill(children[i], SIGTERM);
  long long deadline = nowMillis() + StopGraceSeconds * 1000LL;
  while (reapChildren() > 0 && stopSignals < 2) {
    int left = millisLeft(deadline);
    if (left == 0) break;
    timespec timeout = {left / 1000, (left % 1000) * 1000000L};
    ppoll(nullptr, 0, &timeout, &waitMask);
  }
  for (int i = 0; i < childCount; i++) kill(children[i], SIGKILL);
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

  int status = 0;
  while (stopSignals == 0) {
    reapChildren();
    pollfd pfd = {listener, POLLIN, 0};
    // At the limit the listener is not watched; new clients wait in its backlog.
    int ready = ppoll(&pfd, childCount < MaxChildren ? 1 : 0, nullptr, &originalMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("ppoll");
      status = 1;
      break;
    }
    if (ready == 0 || (pfd.revents & POLLIN) == 0) continue;
    sockaddr_in peer = {};
    socklen_t peerLen = sizeof peer;
    int client = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peerLen, SOCK_CLOEXEC);
    if (client < 0) {
      int err = errno;
      if (err != EAGAIN && err != EINTR && err != ECONNABORTED) perror("accept");
      if (err == EMFILE || err == ENFILE) {
        timespec pause = {0, 100 * 1000000L};  // wait for descriptors to come back
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    startChild(settings, listener, client, peer, originalMask);
  }

  close(listener);
  stopChildren(originalMask);
  printf("modhost: stopped\n");
  fflush(stdout);
  return status;
}
