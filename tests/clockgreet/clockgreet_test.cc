// clockgreet over 127.0.0.1: every test starts its own server on a port that was free a moment
// before (another if it has been taken since) and kills it when the test ends.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io.h"
#include "net.h"
#include "server.h"

namespace {

using namespace std::string_literals;

constexpr std::string_view kPrompt = "\nType your name:";
constexpr int kWaitMs = 5000;         // the longest any step may take the server
constexpr int kQuietMs = 300;         // how long "no answer yet" is watched
constexpr int kMaxName = 1024;        // the server's name limit
constexpr int kQuickWaitSeconds = 2;  // clockgreet-quick's wait for a name
constexpr int kRealWaitSeconds = 30;  // clockgreet's wait for a name
constexpr long kZoneOffset = 19800;   // the servers' time zone is 5:30 east of UTC
constexpr const char *kServerZone = "TZ=ZZZ-05:30";

// Returns true if nothing arrives on fd within kQuietMs.
bool staysQuiet(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, kQuietMs) == 0;
}

// A client connected to the server on 127.0.0.1 at port.
Fd clientOf(int port) { return Fd(connectTo(port)); }

// A clockgreet process in the servers' time zone.
class Server : public ServerProcess {
 public:
  Server(const char *program, const std::vector<std::string> &args)
      : ServerProcess(commandLine(program, args), {kServerZone}) {}

  // Returns the port the server listens on, waiting for it to get there; 0 if it does not.
  int port() { return listeningPort(kWaitMs); }
  // Waits up to kWaitMs for the server to end; returns its exit status, or -1.
  int exitStatus() { return waitForExit(kWaitMs); }
  // Checks that the log lines have reached the server's standard output, while it runs.
  void expectLog(std::string_view lines) { EXPECT_EQ(nextOutput(lines.size(), kWaitMs), lines); }

 private:
  static std::vector<std::string> commandLine(const char *program,
                                              const std::vector<std::string> &args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
};

// The usage text: 23 lines, each filled with blanks to 63 characters.
std::string expectedUsage() {
  const char *lines[] = {
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
  std::string expected;
  for (const char *line : lines) {
    std::string padded = line;
    padded.resize(63, ' ');
    expected += padded + "\n";
  }
  return expected;
}

// Checks a greeting: "\nHi ", name, " the time is:\n", ctime's text of the servers' local time
// now, "\n".
void expectGreeting(const std::string &reply, const std::string &name) {
  std::string head = "\nHi " + name + " the time is:\n";
  ASSERT_EQ(reply.size(), head.size() + 24 + 2) << reply;
  EXPECT_EQ(reply.substr(0, head.size()), head);
  EXPECT_EQ(reply.substr(head.size() + 24), "\n\n");

  std::string timeText = reply.substr(head.size(), 24);
  tm shown = {};
  const char *end = strptime(timeText.c_str(), "%a %b %d %H:%M:%S %Y", &shown);
  ASSERT_NE(end, nullptr) << timeText;
  EXPECT_EQ(*end, '\0') << timeText;
  long shownSeconds = static_cast<long>(timegm(&shown));
  long localNow = static_cast<long>(time(nullptr)) + kZoneOffset;
  EXPECT_LE(std::labs(shownSeconds - localNow), 5) << timeText;

  // The weekday and month names, and the blank-padded day, as ctime writes them.
  char expected[26];
  time_t shownTime = shownSeconds;
  tm check;
  strftime(expected, sizeof(expected), "%a %b %e %H:%M:%S %Y", gmtime_r(&shownTime, &check));
  EXPECT_EQ(timeText, expected);
}

// Checks that the client on fd has been prompted.
void expectPrompt(int fd) { EXPECT_EQ(readFrom(fd, kPrompt.size(), kWaitMs).data, kPrompt); }

// A client connected to the server at port that has been prompted.
Fd promptedClient(int port) {
  Fd c = clientOf(port);
  EXPECT_GE(c.fd, 0) << strerror(errno);
  expectPrompt(c.fd);
  return c;
}

// Connects, checks the prompt, sends bytes and returns all the server sends after the prompt.
Received converse(int port, std::string_view bytes) {
  Fd c = promptedClient(port);
  sendAll(c.fd, bytes);
  return readToEnd(c.fd, kWaitMs);
}

// A test with one server, killed when the test ends.
class Clockgreet : public testing::Test {
 protected:
  // Starts program with args; returns the port it listens on, 0 if it does not.
  int startWith(const char *program, const std::vector<std::string> &args) {
    server_.emplace(program, args);
    return server_->port();
  }

  // Starts program on a port that was free; returns the port it listens on, 0 if it does not.
  // Another port is tried if someone else took the first in the meantime.
  int start(const char *program = CLOCKGREET) {
    for (int attempt = 0; attempt < 5; attempt++) {
      int free = freePort();
      if (free == 0) return 0;
      int port = startWith(program, {std::to_string(free)});
      if (port != 0 || server_->exitStatus() != 255 ||
          !server_->errorOutput(kWaitMs).starts_with("bind: "))
        return port;
    }
    return 0;
  }
  Server &server() { return *server_; }

  // Starts clockgreet-acceptfail, its first accept calls failing with errors, one each; returns
  // the port it listens on, 0 if it does not (or no longer does).
  int startFailingAccepts(const std::vector<int> &errors) {
    std::string list;
    for (int e : errors) list += std::to_string(e) + " ";
    setenv("CLOCKGREET_ACCEPT_ERRORS", list.c_str(), 1);
    int port = start(CLOCKGREET_ACCEPTFAIL);
    unsetenv("CLOCKGREET_ACCEPT_ERRORS");
    return port;
  }

  // Sends the (rest of the) name line on the prompted client fd; checks greeting and log (the
  // name as logged, if that differs), then ends the client's side, as a client done does.
  void expectServed(int fd, std::string_view bytes, const std::string &name,
                    std::optional<std::string> logged = std::nullopt) {
    sendAll(fd, bytes);
    Received reply = readToEnd(fd, kWaitMs);
    EXPECT_TRUE(reply.ended);
    expectGreeting(reply.data, name);
    server().expectLog("name=" + logged.value_or(name) + "\n");
    shutdown(fd, SHUT_WR);
  }

  // Sends bytes that go on past the name's end, and checks that the name stops there (log as
  // for expectServed) and the client still gets its whole greeting and a clean end of stream,
  // not a reset.
  void expectRestLeftOut(int port, std::string_view bytes, const std::string &name,
                         std::optional<std::string> logged = std::nullopt) {
    Received reply = converse(port, bytes);
    EXPECT_EQ(reply.error, 0) << strerror(reply.error);
    EXPECT_TRUE(reply.ended);
    expectGreeting(reply.data, name);
    server().expectLog("name=" + logged.value_or(name) + "\n");
  }

  // Keeps a client silent after sending bytes, with another client waiting behind it; checks
  // that the silent one is answered with what it sent after waitSeconds, and the next is served.
  void expectSilentClientReleased(int port, int waitSeconds, std::string_view bytes) {
    long long begin = nowMillis();
    Fd silent = clientOf(port);
    Fd next = clientOf(port);
    ASSERT_GE(silent.fd, 0);
    ASSERT_GE(next.fd, 0);
    expectPrompt(silent.fd);
    sendAll(silent.fd, bytes);

    Received reply = readToEnd(silent.fd, waitSeconds * 1000 + kWaitMs);
    long long waited = nowMillis() - begin;
    EXPECT_GE(waited, waitSeconds * 1000 - 100);
    EXPECT_LE(waited, waitSeconds * 1000 + 1500);
    EXPECT_TRUE(reply.ended);
    std::string name(bytes);
    expectGreeting(reply.data, name);
    server().expectLog("name=" + name + "\n");
    shutdown(silent.fd, SHUT_WR);

    expectPrompt(next.fd);
    expectServed(next.fd, "Hal\r\n", "Hal");
  }

 private:
  std::optional<Server> server_;
};

using ClockgreetProtocol = Clockgreet;
using ClockgreetStart = Clockgreet;
using ClockgreetRobustness = Clockgreet;
using ClockgreetAccept = Clockgreet;

TEST_F(ClockgreetProtocol, GreetsEachWaitingClientByNameWithTheLocalTime) {
  int port = start();
  ASSERT_NE(port, 0);

  // Two clients at once: the second waits in the backlog until the first is done.
  Fd first = promptedClient(port);
  Fd second = clientOf(port);
  ASSERT_GE(second.fd, 0);
  EXPECT_TRUE(staysQuiet(second.fd));
  expectServed(first.fd, "Alice\r\n", "Alice");

  expectPrompt(second.fd);
  expectServed(second.fd, "Bob Smith\r\n", "Bob Smith");
}

TEST_F(ClockgreetProtocol, EmptyNameLeavesTwoBlanks) {
  int port = start();
  ASSERT_NE(port, 0);

  Fd c = promptedClient(port);
  expectServed(c.fd, "\r\n", "");
}

TEST_F(ClockgreetProtocol, LoneLineFeedOrCarriageReturnIsPartOfTheName) {
  int port = start();
  ASSERT_NE(port, 0);

  Fd c = promptedClient(port);
  sendAll(c.fd, "a\n");
  EXPECT_TRUE(staysQuiet(c.fd)) << "a line feed alone ended the name";
  sendAll(c.fd, "b\r");
  EXPECT_TRUE(staysQuiet(c.fd));
  sendAll(c.fd, "c\r");
  EXPECT_TRUE(staysQuiet(c.fd));
  expectServed(c.fd, "\n", "a\nb\rc", "a\\nb\\rc");
}

TEST_F(ClockgreetProtocol, NameStopsAt1024BytesOrItsLineEndAndTheRestIsLeftOut) {
  int port = start();
  ASSERT_NE(port, 0);

  // Exactly the limit, no line end: answered at once, and the stream ends cleanly.
  std::string name(kMaxName, 'x');
  Fd c = promptedClient(port);
  expectServed(c.fd, name, name);

  // Beyond the limit, and beyond a line end: the rest is no part of the name, and does not
  // cost the client its greeting.
  expectRestLeftOut(port, name + "tail\r\n", name);
  expectRestLeftOut(port, "Carol\r\nmore", "Carol");
  expectRestLeftOut(port, "Bob\r\n\r\n", "Bob");
  expectRestLeftOut(port, "Dee\r\n" + std::string(100000, 'z'), "Dee");
}

TEST_F(ClockgreetProtocol, CarriageReturnAtTheLimitStays) {
  int port = start();
  ASSERT_NE(port, 0);

  // The 1024th byte is a carriage return: it is kept, and the line feed after it is not read.
  std::string name = std::string(kMaxName - 1, 'y') + "\r";
  std::string logged = std::string(kMaxName - 1, 'y') + "\\r";
  Fd c = promptedClient(port);
  expectServed(c.fd, name, name, logged);
  expectRestLeftOut(port, name + "\n", name, logged);

  // A pair that ends at the 1024th byte still ends the name.
  name.assign(kMaxName - 2, 'w');
  c = promptedClient(port);
  expectServed(c.fd, name + "\r\n", name);
}

TEST_F(ClockgreetProtocol, ZeroByteEndsTheNameInLogAndGreeting) {
  int port = start();
  ASSERT_NE(port, 0);

  Fd c = promptedClient(port);
  expectServed(c.fd, "ab\0cd\r\n"s, "ab");
}

TEST_F(ClockgreetProtocol, LogShowsControlBytesEscapedSoEachClientIsOneLine) {
  int port = start();
  ASSERT_NE(port, 0);

  // The greeting echoes the name as sent; the log cannot be given a line or a terminal
  // command of the client's making, and a backslash in the name cannot pass for an escape.
  Fd c = promptedClient(port);
  expectServed(c.fd, "x\nname=root\x1b[2J\\n \t\r\x7f\x01\xc3\xa9\r\n",
               "x\nname=root\x1b[2J\\n \t\r\x7f\x01\xc3\xa9",
               "x\\nname=root\\x1b[2J\\\\n \\t\\r\\x7f\\x01\xc3\xa9");
}

TEST_F(ClockgreetStart, WithoutPortPrintsUsageAndEnds255) {
  EXPECT_EQ(startWith(CLOCKGREET, {}), 0);
  EXPECT_EQ(server().exitStatus(), 255);
  std::string err = server().errorOutput(kWaitMs);
  EXPECT_EQ(err.size(), 1472u);
  EXPECT_EQ(err, expectedUsage());
  EXPECT_EQ(server().restOfOutput(kWaitMs), "");
}

TEST_F(ClockgreetStart, HelpPrintsUsageOnStandardOutputAndEnds0) {
  for (const char *help : {"-h", "--help"}) {
    SCOPED_TRACE(help);
    EXPECT_EQ(startWith(CLOCKGREET, {help}), 0);
    EXPECT_EQ(server().exitStatus(), 0);
    EXPECT_EQ(server().restOfOutput(kWaitMs), expectedUsage());
    EXPECT_EQ(server().errorOutput(kWaitMs), "");
  }
}

TEST_F(ClockgreetStart, PortInUseEnds255WithBindError) {
  Fd holder(boundSocket(0, true));
  ASSERT_GE(holder.fd, 0);
  EXPECT_EQ(startWith(CLOCKGREET, {std::to_string(portOf(holder.fd))}), 0);
  EXPECT_EQ(server().exitStatus(), 255);
  EXPECT_EQ(server().errorOutput(kWaitMs), "bind: "s + strerror(EADDRINUSE) + "\n");
  EXPECT_EQ(server().restOfOutput(kWaitMs), "");
}

TEST_F(ClockgreetStart, PortIsTheNumberGivenAndServed) {
  int port = start();
  ASSERT_NE(port, 0);
  expectGreeting(converse(port, "Dan\r\n").data, "Dan");

  // The highest port, as given (a number is never cut to 16 bits to reach it).
  if (Fd(boundSocket(65535, false)).fd < 0) GTEST_SKIP() << "port 65535 is in use";
  EXPECT_EQ(startWith(CLOCKGREET, {"65535"}), 65535);
}

// A port nobody would find, one other than the one asked for, or no number at all: refused
// before a socket is made, as a missing port is.
TEST_F(ClockgreetStart, PortThatIsNoWholeNumberFrom1To65535GetsTheUsageAndEnds255) {
  for (const char *arg : {"0", "00", "70000", "65536", "-1", "abc", "", " 5000", "+5000",
                          "5000xyz", "5000 ", "0x1388", "99999999999999999999", "-h5", "--port"}) {
    SCOPED_TRACE(std::string("\"") + arg + "\"");
    EXPECT_EQ(startWith(CLOCKGREET, {arg}), 0);
    EXPECT_EQ(server().exitStatus(), 255);
    EXPECT_EQ(server().errorOutput(kWaitMs), expectedUsage());
    EXPECT_EQ(server().restOfOutput(kWaitMs), "");
  }
}

TEST_F(ClockgreetAccept, PassingFailuresAreRetriedAndAnyOtherEnds255) {
  // A pending connection's network error, an aborted connection, a signal: none ends the server.
  int port = startFailingAccepts({ENETDOWN, EPROTO, ENOPROTOOPT, EHOSTDOWN, ENONET, EHOSTUNREACH,
                                  EOPNOTSUPP, ENETUNREACH, ECONNABORTED, EINTR});
  ASSERT_NE(port, 0);
  expectGreeting(converse(port, "Lu\r\n").data, "Lu");

  startFailingAccepts({EPROTO, EINVAL});
  EXPECT_EQ(server().exitStatus(), 255);
  EXPECT_EQ(server().errorOutput(kWaitMs), "accept: "s + strerror(EINVAL) + "\n");
}

TEST_F(ClockgreetRobustness, VanishedClientsDoNotStopTheServer) {
  int port = start();
  ASSERT_NE(port, 0);

  // One client is reset while the server waits for its name; another while it waits in the
  // backlog; the greetings to both are written to reset connections.
  Fd gone = promptedClient(port);
  Fd waiting = clientOf(port);
  ASSERT_GE(waiting.fd, 0);
  resetClose(waiting);
  resetClose(gone);
  server().expectLog("name=\nname=\n");

  // One that closes after half a name, without reading the greeting.
  Fd leaving = promptedClient(port);
  sendAll(leaving.fd, "Ev");
  leaving = Fd();
  server().expectLog("name=Ev\n");

  Fd c = promptedClient(port);
  expectServed(c.fd, "Fay\r\n", "Fay");
  EXPECT_FALSE(server().hasExited());
}

TEST_F(ClockgreetRobustness, ClientThatStaysAfterItsGreetingHoldsTheServerTwoSecondsAtMost) {
  int port = start();
  ASSERT_NE(port, 0);

  Fd stays = promptedClient(port);
  Fd next = clientOf(port);
  long long begin = nowMillis();
  sendAll(stays.fd, "Ida\r\n");
  expectGreeting(readToEnd(stays.fd, kWaitMs).data, "Ida");
  server().expectLog("name=Ida\n");
  expectPrompt(next.fd);
  EXPECT_LE(nowMillis() - begin, 2000 + 3000);  // the hold, and room for a busy machine
}

TEST_F(ClockgreetRobustness, SilentClientIsAnsweredAfterTheWaitAndTheNextServed) {
  int port = start(CLOCKGREET_QUICK);
  ASSERT_NE(port, 0);
  expectSilentClientReleased(port, kQuickWaitSeconds, "Gu");
}

TEST_F(ClockgreetRobustness, TricklingClientIsBoundedInTotal) {
  int port = start(CLOCKGREET_QUICK);
  ASSERT_NE(port, 0);

  long long begin = nowMillis();
  Fd c = promptedClient(port);
  // One byte every 400 ms: no single read waits long, but the name is never done.
  std::string sent;
  while (nowMillis() - begin < kQuickWaitSeconds * 1000 + 1500 && staysQuiet(c.fd) &&
         sent.size() < 20) {
    sent += 'k';
    sendAll(c.fd, "k");
    usleep(100000);
  }
  // Bytes sent after the wait are read and dropped: the greeting ends the stream cleanly.
  Received reply = readToEnd(c.fd, kWaitMs);
  EXPECT_EQ(reply.error, 0);
  EXPECT_TRUE(reply.ended);
  EXPECT_LE(nowMillis() - begin, kQuickWaitSeconds * 1000 + 1500);
  std::string name = reply.data.substr(4, reply.data.find(' ', 4) - 4);
  EXPECT_TRUE(sent.starts_with(name) && !name.empty()) << name;
  expectGreeting(reply.data, name);
}

// Waits out the real server's 30 seconds, once.
TEST_F(ClockgreetRobustness, SilentClientIsReleasedAfter30Seconds) {
  int port = start();
  ASSERT_NE(port, 0);
  expectSilentClientReleased(port, kRealWaitSeconds, "");
}

}  // namespace

// Fault run: a hundred clients that vanish in every way the protocol allows (reset while
// asked for a name, reset in the backlog, gone after half a name, gone after a whole name
// without reading the greeting), then one ordinary client, who is still served.
class ClockgreetFaults : public Clockgreet {};

TEST_F(ClockgreetFaults, HundredVanishedClientsThenOneServed) {
  constexpr int kVanished = 100;
  int port = start();
  ASSERT_NE(port, 0);
  std::string expectedLog;
  for (int i = 0; i < kVanished; i++) {
    switch (i % 4) {
      case 0: {
        Fd c = promptedClient(port);
        resetClose(c);
        expectedLog += "name=\n";
        break;
      }
      case 1: {
        Fd c = clientOf(port);
        ASSERT_GE(c.fd, 0);
        resetClose(c);
        expectedLog += "name=\n";
        break;
      }
      case 2: {
        Fd c = promptedClient(port);
        sendAll(c.fd, "Ivo");
        expectedLog += "name=Ivo\n";
        break;
      }
      case 3: {
        Fd c = promptedClient(port);
        sendAll(c.fd, "Jo\r\n");
        expectedLog += "name=Jo\n";
        break;
      }
    }
  }
  server().expectLog(expectedLog);
  Fd c = promptedClient(port);
  expectServed(c.fd, "Kim\r\n", "Kim");
  EXPECT_FALSE(server().hasExited());
}
