// clockgreet: an iterative TCP server that asks each client for its name and answers with a
// greeting and the local time of day. Usage: clockgreet <port>, a port from 1 to 65535
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <iterator>

#include "deadline.h"
#include "plumbing.h"

// How long one client may take to send its name, in seconds. The tests build a copy of the
// server with a shorter wait.
#ifndef CLOCKGREET_NAME_SECONDS
#define CLOCKGREET_NAME_SECONDS 30
#endif

namespace {

constexpr int QueueLength = 5;  // backlog passed to listen

constexpr int kNameWaitSeconds = CLOCKGREET_NAME_SECONDS;
// An hour at most, so that the wait in milliseconds fits poll's int.
static_assert(kNameWaitSeconds > 0 && kNameWaitSeconds <= 3600);

constexpr int kMaxName = 1024;  // name bytes kept; nothing beyond them goes into the name

// After its greeting a client has this long to close, and may send this much, before the server
// closes the connection regardless.
constexpr int kDrainSeconds = 2;
constexpr std::size_t kDrainMaxBytes = 1 << 20;

// A name as logged: each byte may become a four-byte escape ("\x1b").
constexpr std::size_t kLoggedNameSize = 4 * kMaxName + 1;

// The usage text: every line padded with blanks to kUsageWidth characters, then a newline.
constexpr int kUsageWidth = 63;
constexpr const char *kUsageLines[] = {
    "",
    "clockgreet:",
    "",
    "Simple server program that shows how to use socket calls",
    "in the server side.",
    "",
    "To use it in one window type:",
    "",
    "   clockgreet <port>",
    "",
    "Where 1024 < port < 65536.",
    "",
    "In another window type:",
    "",
    "   telnet <host> <port>",
    "",
    "where <host> is the name of the machine where clockgreet",
    "is running. <port> is the port number you used when you run",
    "clockgreet.",
    "",
    "Then type your name and return. You will get a greeting and",
    "the time of the day.",
    "",
};
char usageText[std::size(kUsageLines) * (kUsageWidth + 1) + 1];
static_assert(sizeof usageText == 1472 + 1);
const char *const usage = usageText;

// Fills usageText from kUsageLines.
void padUsage() {
  char *at = usageText;
  for (const char *line : kUsageLines)
    at += snprintf(at, usageText + sizeof usageText - at, "%-*s\n", kUsageWidth, line);
}

[[noreturn]] void fail(const char *word) { failCall(word, -1); }

// Writes s to fd. A client that has gone away makes the write fail; that is no concern of the
// server, which closes the connection and serves the next one.
void writeText(int fd, const char *s) {
  ssize_t n = write(fd, s, strlen(s));
  (void)n;
}

// Reads at most len bytes from fd, waiting no later than deadline. Returns the number read, 0 at
// the end of the client's stream, or -1 if the read failed or the time is up.
ssize_t readBefore(int fd, void *buf, std::size_t len, long long deadline) {
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, millisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    ssize_t n = read(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

// Reads the client's name into name (room for kMaxName + 1 bytes), one byte per read so that
// nothing beyond the line end is taken, and zero-terminates it. The name ends at a carriage
// return and line feed pair (neither kept), at kMaxName bytes, at the end of the client's stream or
// a read error, or when the client has used up its kNameWaitSeconds.
void readName(int fd, char *name) {
  long long deadline = nowMillis() + kNameWaitSeconds * 1000LL;
  int length = 0;
  char lastChar = 0;
  while (length < kMaxName) {
    char newChar;
    if (readBefore(fd, &newChar, 1, deadline) <= 0) break;
    if (lastChar == '\r' && newChar == '\n') {
      length--;  // the carriage return goes, the line feed is not stored
      break;
    }
    name[length++] = newChar;
    lastChar = newChar;
  }
  name[length] = '\0';
}

// Copies name into logged (room for kLoggedNameSize bytes) with its control bytes written as
// escapes (\n, \r, \t, \x1b and the like) and each backslash doubled, so that a name is one
// line of the log, cannot pass for another line or steer the terminal that shows it, and reads
// back unambiguously.
void escapeForLog(const char *name, char *logged) {
  constexpr char kHex[] = "0123456789abcdef";
  char *out = logged;
  for (const char *p = name; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '\\') {
      *out++ = '\\';
      *out++ = '\\';
    } else if (c == '\n' || c == '\r' || c == '\t') {
      *out++ = '\\';
      *out++ = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
    } else if (c < 0x20 || c == 0x7f) {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0xf];
    } else {
      *out++ = static_cast<char>(c);
    }
  }
  *out = '\0';
}

// Serves one connection: prompt, name, greeting, time. Leaves fd open.
void processTimeRequest(int fd) {
  char name[kMaxName + 1];

  writeText(fd, "\nType your name:");
  readName(fd, name);

  char logged[kLoggedNameSize];
  escapeForLog(name, logged);
  printf("name=%s\n", logged);
  fflush(stdout);  // the log line is out even if the server is killed later

  time_t now = time(nullptr);
  const char *timeText = ctime(&now);
  if (timeText == nullptr) timeText = "";  // a clock beyond ctime's years

  writeText(fd, "\nHi ");
  writeText(fd, name);
  writeText(fd, " the time is:\n");
  writeText(fd, timeText);
  writeText(fd, "\n");
}

// Ends a served connection: nothing more is sent, and what the client still sends is read and
// dropped until it closes, for at most kDrainSeconds and kDrainMaxBytes. Closing a socket with
// input unread resets the connection, and the client's system may then drop the greeting.
void finishConnection(int fd) {
  shutdown(fd, SHUT_WR);
  long long deadline = nowMillis() + kDrainSeconds * 1000LL;
  char sink[16384];
  std::size_t dropped = 0;
  ssize_t n;
  while (dropped < kDrainMaxBytes && (n = readBefore(fd, sink, sizeof sink, deadline)) > 0)
    dropped += static_cast<std::size_t>(n);
  close(fd);
}

// Returns true if accept failed with err for a passing reason: a network error of the pending
// connection, which accept passes on and which a server is to answer by accepting again; a
// connection aborted before it was taken; a signal.
bool acceptMayRetry(int err) {
  switch (err) {
    case ENETDOWN:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ECONNABORTED:
    case EINTR:
      return true;
    default:
      return false;
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    padUsage();
    fputs(usage, stdout);
    exit(0);
  }
  // Only digits, and a port that can be bound as given: port 0 would have the system pick one
  // that nobody is told, and a number cut to 16 bits another than the one asked for.
  int port = 0;
  if (argc < 2 || !isdigit(static_cast<unsigned char>(argv[1][0])) ||
      parseNumber(argv[1], 1, 65535, &port) != 0) {
    padUsage();
    fputs(usage, stderr);
    exit(-1);
  }

  // A client that leaves before its reply makes our writes fail with EPIPE instead of
  // ending the server.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, nullptr) != 0) fail("sigaction");

  sockaddr_in serverAddr;
  memset(&serverAddr, 0, sizeof(serverAddr));
  serverAddr.sin_family = AF_INET;
  serverAddr.sin_addr.s_addr = htonl(INADDR_ANY);
  serverAddr.sin_port = htons(static_cast<uint16_t>(port));

  int listener = socket(PF_INET, SOCK_STREAM, 0);
  if (listener < 0) fail("socket");

  int optval = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &optval, sizeof(optval));

  if (bind(listener, reinterpret_cast<sockaddr *>(&serverAddr), sizeof(serverAddr)) != 0)
    fail("bind");
  if (listen(listener, QueueLength) != 0) fail("listen");

  for (;;) {
    sockaddr_in clientAddr;
    socklen_t alen = sizeof(clientAddr);
    int client = accept(listener, reinterpret_cast<sockaddr *>(&clientAddr), &alen);
    if (client < 0) {
      if (acceptMayRetry(errno)) continue;
      fail("accept");
    }

    processTimeRequest(client);
    finishConnection(client);
  }
}
