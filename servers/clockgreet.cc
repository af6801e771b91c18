// clockgreet: an iterative TCP server that asks each client for its name and answers with a
// greeting and the local time of day. Usage: clockgreet <port>
#include <arpa/inet.h>
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

#include <array>
#include <cstddef>
#include <iterator>

// How long one client may take to send its name, in seconds. The tests build a copy of the
// server with a shorter wait.
#ifndef CLOCKGREET_NAME_SECONDS
#define CLOCKGREET_NAME_SECONDS 30
#endif

namespace {

constexpr int QueueLength = 5;  // backlog passed to listen

constexpr int NameWaitSeconds = CLOCKGREET_NAME_SECONDS;
// An hour at most, so that the wait in milliseconds fits poll's int.
static_assert(NameWaitSeconds > 0 && NameWaitSeconds <= 3600);

constexpr int MaxName = 1024;  // name bytes kept; nothing beyond them goes into the name

// After its greeting a client has this long to close, and may send this much, before the server
// closes the connection regardless.
constexpr int kDrainSeconds = 2;
constexpr std::size_t kDrainMaxBytes = 1 << 20;

// A name as logged: each byte may become a four-byte escape ("\x1b").
constexpr std::size_t kLoggedNameSize = 4 * MaxName + 1;

// The usage text: every line padded with blanks to UsageWidth characters, then a newline.
constexpr std::size_t UsageWidth = 63;
constexpr const char *UsageLines[] = {
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
constexpr std::size_t UsageSize = std::size(UsageLines) * (UsageWidth + 1);
static_assert(UsageSize == 1472);

// Returns true if no usage line is wider than UsageWidth.
constexpr bool usageLinesFit() {
  for (const char *line : UsageLines) {
    std::size_t n = 0;
    while (line[n] != '\0') n++;
    if (n > UsageWidth) return false;
  }
  return true;
}
static_assert(usageLinesFit());

// Returns the usage text, zero-terminated.
constexpr std::array<char, UsageSize + 1> padUsage() {
  std::array<char, UsageSize + 1> text{};
  std::size_t at = 0;
  for (const char *line : UsageLines) {
    std::size_t n = 0;
    for (; line[n] != '\0'; n++) text[at + n] = line[n];
    for (; n < UsageWidth; n++) text[at + n] = ' ';
    text[at + UsageWidth] = '\n';
    at += UsageWidth + 1;
  }
  text[at] = '\0';
  return text;
}
constexpr std::array<char, UsageSize + 1> UsageText = padUsage();

[[noreturn]] void fail(const char *word) {
  perror(word);
  exit(-1);
}

// Writes s to fd. A client that has gone away makes the write fail; that is no concern of the
// server, which closes the connection and serves the next one.
void writeText(int fd, const char *s) {
  ssize_t n = write(fd, s, strlen(s));
  (void)n;
}

// Returns the moment seconds from now, on the monotonic clock.
timespec deadlineIn(int seconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += seconds;
  return deadline;
}

// Returns the milliseconds left until deadline, or 0 if it has passed.
int millisecondsLeft(const timespec &deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long ms =
      (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000;
  return ms > 0 ? static_cast<int>(ms) : 0;
}

// Reads at most len bytes from fd, waiting no later than deadline. Returns the number read, 0 at
// the end of the client's stream, or -1 if the read failed or the time is up.
ssize_t readBefore(int fd, void *buf, std::size_t len, const timespec &deadline) {
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, millisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    ssize_t n = read(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

// Reads the client's name into name (room for MaxName + 1 bytes), one byte per read so that
// nothing beyond the line end is taken, and zero-terminates it. The name ends at a carriage
// return and line feed pair (neither kept), at MaxName bytes, at the end of the client's stream or
// a read error, or when the client has used up its NameWaitSeconds.
void readName(int fd, char *name) {
  timespec deadline = deadlineIn(NameWaitSeconds);
  int length = 0;
  char lastChar = 0;
  while (length < MaxName) {
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
  char name[MaxName + 1];

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
  timespec deadline = deadlineIn(kDrainSeconds);
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

const char *const usage = UsageText.data();

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fputs(usage, stderr);
    exit(-1);
  }

  // No range check: the low 16 bits of the number are the port ("70000" is 4464, "-1" 65535).
  auto port = static_cast<unsigned short>(atoi(argv[1]));

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
  serverAddr.sin_port = htons(port);

  int masterSocket = socket(PF_INET, SOCK_STREAM, 0);
  if (masterSocket < 0) fail("socket");

  int optval = 1;
  setsockopt(masterSocket, SOL_SOCKET, SO_REUSEADDR, &optval, sizeof(optval));

  if (bind(masterSocket, reinterpret_cast<sockaddr *>(&serverAddr), sizeof(serverAddr)) != 0)
    fail("bind");
  if (listen(masterSocket, QueueLength) != 0) fail("listen");

  for (;;) {
    sockaddr_in clientAddr;
    socklen_t alen = sizeof(clientAddr);
    int slaveSocket = accept(masterSocket, reinterpret_cast<sockaddr *>(&clientAddr), &alen);
    if (slaveSocket < 0) {
      if (acceptMayRetry(errno)) continue;
      fail("accept");
    }

    processTimeRequest(slaveSocket);
    finishConnection(slaveSocket);
  }
}
