// modhost end to end: a real server process, real sockets on 127.0.0.1, small test modules.

#include <time.h>

#include <cmath>
#include <optional>
#include <regex>

#include "child.h"
#include "harness.h"

namespace {

using namespace modhost_test;

TEST_F(ModhostTest, RunsModuleWithUndecodedQueryAndCgiVariables) {
  ASSERT_GT(port(), 0);
  Response r = get(port(), "/echo?na%6De=A+B%2Bc&adr=12+Elm&x");
  EXPECT_EQ(r.withoutDate().rfind("HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\n", 0), 0u)
      << r.raw;
  EXPECT_NE(r.raw.find("\nQUERY_STRING=na%6De=A+B%2Bc&adr=12+Elm&x\n"), std::string::npos);
  EXPECT_NE(r.raw.find("\nREQUEST_METHOD=GET\n"), std::string::npos);
  EXPECT_NE(r.raw.find("\nSCRIPT_NAME=/echo\n"), std::string::npos);
  EXPECT_NE(r.raw.find("\nSERVER_PROTOCOL=HTTP/1.1\n"), std::string::npos);
  EXPECT_NE(r.raw.find("\nREMOTE_ADDR=127.0.0.1\n"), std::string::npos);
  // Decoded in the module by the utilities that modhost exports.
  EXPECT_NE(r.raw.find("\nfield [name]=[A B+c]\nfield [adr]=[12 Elm]\nfield [x]=[]\n"),
            std::string::npos)
      << r.raw;
  // Without a query the variable is there and empty, not left over from elsewhere.
  r = get(port(), "/echo");
  EXPECT_EQ(r.status(), 200);
  EXPECT_NE(r.raw.find("\nQUERY_STRING=\n"), std::string::npos) << r.raw;
  EXPECT_NE(server.waitForLine(" GET /echo?[27 bytes] 200 ", 5), "");
  EXPECT_NE(server.waitForLine(" GET /echo 200 ", 5), "");
}

// The CGI variables are the request's own: any the server was started with reach no module,
// and CONTENT_LENGTH comes only with a body.
TEST(ModhostEnvironment, TheServersOwnCgiVariablesAreReplaced) {
  ModuleTree tree;
  Server server({"0", tree.modules.string()}, {}, MODHOST,
                {"CONTENT_LENGTH=5", "QUERY_STRING=stale", "GATEWAY_INTERFACE=stale"});
  Response r = get(server.port(), "/echo");
  EXPECT_EQ(r.status(), 200) << r.raw;
  EXPECT_NE(r.raw.find("\nQUERY_STRING=\n"), std::string::npos) << r.raw;
  EXPECT_NE(r.raw.find("\nGATEWAY_INTERFACE=CGI/1.1\n"), std::string::npos) << r.raw;
  EXPECT_EQ(r.raw.find("CONTENT_LENGTH"), std::string::npos) << r.raw;
}

// Every header line ends in CR LF, however the module ended it and however its output came in
// pieces; the body is passed on as the module wrote it.
TEST_F(ModhostTest, ModuleHeaderLinesAreEndedByCrLfAndTheBodyIsUntouched) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\nX-Two: 2\r\n\r\n";
  for (const char *method : {"GET", "HEAD"}) {
    SCOPED_TRACE(method);
    Response r = roundTrip(port(), std::string(method) + " /echo?mixed=1 HTTP/1.0\r\n\r\n");
    std::string all = r.withoutDate();
    ASSERT_EQ(all.rfind(head, 0), 0u) << r.raw;
    std::string body = all.substr(head.size());
    EXPECT_EQ(body.find('\r'), std::string::npos) << body;
    if (std::string_view(method) == "GET")
      EXPECT_EQ(body.rfind("QUERY_STRING=mixed=1\nREQUEST_METHOD=GET\n", 0), 0u) << body;
    else
      EXPECT_EQ(body, "");
  }
  // A header already in CR LF stays as it is, and the body's CRs with it.
  Response r = get(port(), "/echo?crlf=1");
  EXPECT_EQ(r.withoutDate().rfind("HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\n"
                                  "QUERY_STRING=crlf=1\r\n",
                                  0),
            0u)
      << r.raw;
}

TEST_F(ModhostTest, RootLeadsToTheIndexModuleWhileItIsThere) {
  expectErrorPage(get(port(), "/"), 404);  // no order form in this folder
  Server indexed({"-i", "echo", "0", tree.modules.string()});
  Response r = get(indexed.port(), "/");
  expectErrorPage(r, 302);
  EXPECT_NE(r.raw.find("\r\nLocation: /echo\r\n"), std::string::npos) << r.raw;
  EXPECT_NE(r.body().find("<A HREF=\"/echo\">"), std::string::npos) << r.raw;
  Server missing({"-i", "nosuch", "0", tree.modules.string()});
  expectErrorPage(get(missing.port(), "/"), 404);
}

TEST_F(ModhostTest, HeadIsGetWithoutTheBody) {
  Response get1 = get(port(), "/echo?a=1"),
           head = roundTrip(port(), "HEAD /echo?a=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(head.withoutDate(), "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\n") << head.raw;
  EXPECT_GT(get1.withoutDate().size(), head.withoutDate().size() + 100) << get1.raw;
  EXPECT_EQ(get1.withoutDate().rfind(head.withoutDate(), 0), 0u);
  // The module runs as for GET, and is told the method.
  Response env = roundTrip(port(), "HEAD /echo?stall=100 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(env.withoutDate(), "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\n") << env.raw;
  EXPECT_NE(server.waitForLine(" HEAD /echo?[9 bytes] 200 ", 5).find("module exit 0"),
            std::string::npos);
  // The server's own pages: the header with the page's length, no page.
  Response missing = roundTrip(port(), "HEAD /nosuch HTTP/1.0\r\n\r\n");
  EXPECT_EQ(missing.status(), 404);
  EXPECT_EQ(missing.body(), "");
  EXPECT_NE(missing.raw.find("\r\nContent-Length: "), std::string::npos);
}

TEST_F(ModhostTest, AbsoluteTargetsEmptyLinesFirstAndDates) {
  std::string absolute = "GET http://127.0.0.1:" + std::to_string(port()) + "/echo?x=1 HTTP/1.1";
  Response r = roundTrip(port(), absolute + "\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(r.status(), 200);
  EXPECT_NE(r.raw.find("\nSCRIPT_NAME=/echo\nSERVER_PROTOCOL"), std::string::npos) << r.raw;
  EXPECT_NE(r.raw.find("\nQUERY_STRING=x=1\n"), std::string::npos) << r.raw;
  EXPECT_EQ(roundTrip(port(), "GET HTTP://localhost/echo HTTP/1.0\r\n\r\n").status(), 200);
  expectErrorPage(roundTrip(port(), "GET http://localhost HTTP/1.0\r\n\r\n"), 404);  // "/"
  // Empty lines before the request line are skipped.
  EXPECT_EQ(roundTrip(port(), "\r\n\n\r\nGET /echo HTTP/1.0\r\n\r\n").status(), 200);
  // A Date header in GMT, on module responses and the server's pages alike.
  for (const Response &each : {r, get(port(), "/nosuch")}) {
    EXPECT_NE(each.withoutDate(), "") << each.raw;
    size_t at = each.raw.find("\r\nDate: ") + 8;
    std::string date = each.raw.substr(at, each.raw.find("\r\n", at) - at);
    tm parsed = {};
    const char *end = strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parsed);
    EXPECT_TRUE(end != nullptr && *end == '\0') << date;
    EXPECT_LT(std::abs(static_cast<double>(timegm(&parsed) - time(nullptr))), 60) << date;
  }
}

TEST_F(ModhostTest, LogLineHasTimeClientDurationAndNoQuery) {
  int fd = connectTo(port());
  sockaddr_in local = {};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
  sendAll(fd, "GET /echo?secret=1&sleep=300 HTTP/1.0\r\n\r\n");
  readAll(fd, 5);
  close(fd);
  std::string line = server.waitForLine(" GET /echo?", 5);
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(line, m,
                       std::regex("(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d) "
                                  "127\\.0\\.0\\.1:(\\d+) GET /echo\\?\\[18 bytes\\] 200 "
                                  "\\d+ (\\d+)ms module exit 0")))
      << line;
  EXPECT_EQ(std::stoi(m[2]), ntohs(local.sin_port));
  EXPECT_GE(std::stoi(m[3]), 300);
  EXPECT_LT(std::stoi(m[3]), 5000);
  EXPECT_EQ(line.find("secret"), std::string::npos);
}

// The log's local time is the server's zone (TZ here: UTC+05:30), in the lines of a request's
// process and of the server's own answers alike.
TEST(ModhostLog, ArrivalIsInTheServersTimeZone) {
  ModuleTree tree;
  Server server({"0", tree.modules.string()}, {}, MODHOST, {"TZ=XYZ-05:30"});
  time_t before = time(nullptr);
  EXPECT_EQ(get(server.port(), "/echo").status(), 200);
  EXPECT_EQ(get(server.port(), "/nosuch").status(), 404);
  for (const char *request : {" GET /echo 200 ", " GET /nosuch 404 "}) {
    std::string line = server.waitForLine(request, 5);
    ASSERT_GE(line.size(), 25u) << request;
    EXPECT_EQ(line.substr(19, 6), "+05:30") << line;
    tm stamp = {};
    ASSERT_NE(strptime(line.c_str(), "%Y-%m-%dT%H:%M:%S", &stamp), nullptr) << line;
    long local = static_cast<long>(timegm(&stamp)), utc = static_cast<long>(before);
    EXPECT_LT(std::labs(local - (5 * 3600 + 30 * 60) - utc), 60) << line;
  }
}

TEST_F(ModhostTest, APostBodyIsTheModulesStandardInput) {
  // Small, then large enough to come in many reads, sent in two parts with a pause.
  for (size_t length : {size_t{11}, size_t{300000}}) {
    std::string body(length, 'b');
    body[0] = 'S', body[length - 1] = 'E';
    int fd = connectTo(port());
    ASSERT_GE(fd, 0);
    sendAll(fd, "POST /echo?q=1 HTTP/1.1\r\nHost: x\r\ncontent-length:  " +
                    std::to_string(length) + " \r\n\r\n" + body.substr(0, 5));
    usleep(100000);
    sendAll(fd, body.substr(5));
    Response r{readAll(fd, 10)};
    close(fd);
    EXPECT_EQ(r.status(), 200) << r.raw.substr(0, 300);
    EXPECT_NE(r.raw.find("\nREQUEST_METHOD=POST\n"), std::string::npos);
    EXPECT_NE(r.raw.find("\nQUERY_STRING=q=1\n"), std::string::npos);
    EXPECT_NE(r.raw.find("\nCONTENT_LENGTH=" + std::to_string(length) + "\nbody [" + body + "]\n"),
              std::string::npos)
        << length;
  }
  // A GET has no body: the module's standard input is empty and CONTENT_LENGTH unset.
  Response plain = get(port(), "/echo");
  EXPECT_EQ(plain.status(), 200);
  EXPECT_EQ(plain.raw.find("CONTENT_LENGTH"), std::string::npos);
  const std::pair<std::string, int> refused[] = {
      {"POST /echo HTTP/1.0\r\n\r\n", 411},
      {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411},
      {"POST /echo HTTP/1.0\r\nContent-Length: 12x\r\n\r\n", 400},
      {"POST /echo HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400},
      {"POST /echo HTTP/1.0\r\nContent-Length: 1048577\r\n\r\n", 413},
      {"POST /echo HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n", 413},
      {"POST /echo HTTP/1.0\r\nContent-Length: 10\r\n\r\nshort", 408},  // then the client stops
  };
  for (const auto &[request, status] : refused) {
    int fd = connectTo(port());
    ASSERT_GE(fd, 0);
    sendAll(fd, request);
    shutdown(fd, SHUT_WR);
    expectErrorPage(Response{readAll(fd, 10)}, status);
    close(fd);
  }
}

TEST_F(ModhostTest, MalformedRequestsGet400AndOtherMethods405) {
  const char *malformed[] = {
      "GARBAGE\r\n\r\n",
      "GET /echo\r\n\r\n",
      "GET  /echo HTTP/1.0\r\n\r\n",
      "GET /echo HTTP/1.0 extra\r\n\r\n",
      "GET /echo HTTP/2.0\r\n\r\n",
      "GET /echo http/1.0\r\n\r\n",
      "GET echo HTTP/1.0\r\n\r\n",
      "GET ftp://127.0.0.1/echo HTTP/1.0\r\n\r\n",
      "GET /ec\tho HTTP/1.0\r\n\r\n",
      "GET /echo?\x7f HTTP/1.0\r\n\r\n",
      "GET /echo?\xc3\xa9 HTTP/1.0\r\n\r\n",
      "G3T /echo HTTP/1.0\r\n\r\n",
      "\r\n\r\n",
      "GET /echo HTTP/1.0\r\nHost: x\r\n",  // the client stops before the empty line
  };
  for (const char *request : malformed) {
    int fd = connectTo(port());
    sendAll(fd, request);
    shutdown(fd, SHUT_WR);
    expectErrorPage(Response{readAll(fd, 5)}, 400);
    close(fd);
  }
  for (const char *method : {"PUT", "DELETE", "get"}) {
    Response r = roundTrip(port(), std::string(method) + " /echo HTTP/1.0\r\n\r\n");
    expectErrorPage(r, 405);
    EXPECT_NE(r.raw.find("\r\nAllow: GET, HEAD, POST\r\n"), std::string::npos);
  }
  EXPECT_EQ(get(port(), "/echo").status(), 200);
  size_t requests = std::size(malformed) + 3 + 1;
  std::vector<std::string> log = server.waitForLines(1 + requests, 10);
  EXPECT_EQ(log.size(), 1 + requests);
}

TEST_F(ModhostTest, UnknownModulesAndPathsOutsideTheFolderGet404) {
  std::string outside = (tree.root / "outside").string();
  const std::string targets[] = {
      "/nosuch",         "/outside",      "/../outside",
      "/%2e%2e/outside", "/..%2foutside", "/modules/../outside",
      "/./echo",         outside,         outside + "-mod.so",
      "/echo-mod.so",    "/echo/",        "/echo/x",
      "//echo",          "/ECHO",         "/dir",
      "/%65cho",         "/echo%00",      "/" + std::string(200, 'e'),
  };
  for (const std::string &target : targets) {
    Response r = get(port(), target);
    expectErrorPage(r, 404);
    EXPECT_EQ(r.raw.find("QUERY_STRING"), std::string::npos) << target;
  }
  // A relative target is no path at all; an absolute-form one is judged by its path.
  expectErrorPage(get(port(), "../outside"), 400);
  expectErrorPage(get(port(), "http://127.0.0.1/../outside"), 404);
  std::vector<std::string> log = server.waitForLines(1 + std::size(targets) + 2, 10);
  for (const std::string &line : log) EXPECT_EQ(line.find(" 200 "), std::string::npos) << line;
}

TEST_F(ModhostTest, RequestLineLimitAndHeaders) {
  // A request line of exactly 8192 bytes is served, query and all.
  std::string prefix = "GET /echo?q=", suffix = " HTTP/1.0";
  std::string query(8192 - prefix.size() - suffix.size(), 'a');
  Response r = roundTrip(port(), prefix + query + suffix + "\r\n\r\n");
  EXPECT_EQ(r.status(), 200);
  EXPECT_NE(r.raw.find("\nQUERY_STRING=q=" + query + "\n"), std::string::npos);

  // One byte more is refused, and at once, without waiting for the rest of the line.
  r = roundTrip(port(), prefix + query + "a" + suffix + "\r\n\r\n");
  expectErrorPage(r, 414);
  int fd = connectTo(port());
  sendAll(fd, "GET /" + std::string(9000, 'a'));
  auto start = Clock::now();
  expectErrorPage(Response{readAll(fd, 5)}, 414);
  EXPECT_LT(secondsSince(start), 3);
  close(fd);

  // Headers are read and dropped, bare line feeds included; too many of them are refused.
  r = roundTrip(port(), "GET /echo?h=1 HTTP/1.1\nHost: 127.0.0.1\nAccept: */*\nX-A: b\n\n");
  EXPECT_EQ(r.status(), 200);
  std::string many = "GET /echo HTTP/1.0\r\n";
  for (int i = 0; i < 1000; i++) many += "X-Filler: " + std::string(40, 'f') + "\r\n";
  expectErrorPage(roundTrip(port(), many + "\r\n"), 431);
  // The log names the request whose headers were refused; a malformed line stays unnamed.
  EXPECT_NE(server.waitForLine(" GET /echo 431 ", 5), "");
  std::string bad = "GET /echo  HTTP/1.0\r\n";
  for (int i = 0; i < 1000; i++) bad += "X-Filler: " + std::string(40, 'f') + "\r\n";
  expectErrorPage(roundTrip(port(), bad + "\r\n"), 431);
  EXPECT_NE(server.waitForLine(" - - 431 ", 5), "");
}

TEST_F(ModhostTest, ModulesThatCannotRunGet500SayingWhy) {
  constexpr const char *kNoOutput = "The module ended without writing anything.";
  const struct {
    const char *target, *detail, *page;
  } cases[] = {
      {"/junk", "module cannot be loaded", "The module could not be loaded."},
      {"/mute", "module has no httprun", "The module has no httprun entry point."},
      {"/die?abort", "module killed by signal 6, no output", kNoOutput},
      {"/die?exit", "module exit 3, no output", kNoOutput},
      {"/die?return", "module exit 0, no output", kNoOutput},
      {"/die", "module exit 0, no output", kNoOutput},
  };
  for (const auto &c : cases) {
    Response r = get(port(), c.target);
    expectErrorPage(r, 500);
    EXPECT_NE(r.body().find(std::string(c.page) + "<P>"), std::string::npos) << r.raw;
    EXPECT_NE(server.waitForLine(c.detail, 5), "") << c.target;
  }
  EXPECT_EQ(get(port(), "/echo").status(), 200);
}

TEST_F(ModhostTest, ModuleTimeLimit) {
  // Nothing written in time: 500. Something written: the response is cut at the limit.
  auto start = Clock::now();
  Response late = get(port(), "/echo?sleep=20000");
  expectErrorPage(late, 500);
  EXPECT_NE(late.body().find("The module did not answer within 2 seconds."), std::string::npos);
  EXPECT_LT(secondsSince(start), kModuleSeconds + 2);
  EXPECT_NE(server.waitForLine("module timed out, module killed by signal 9", 5), "");
  start = Clock::now();
  Response r = get(port(), "/echo?stall=20000");
  EXPECT_LT(secondsSince(start), kModuleSeconds + 2);
  EXPECT_EQ(r.withoutDate(), "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\n");
  // A module that closes its output but works on is still bound by the limit.
  start = Clock::now();
  Response done = get(port(), "/echo?linger=20000");
  EXPECT_LT(secondsSince(start), kModuleSeconds + 2);
  EXPECT_NE(done.raw.find("field [linger]=[20000]"), std::string::npos) << done.raw;
  EXPECT_NE(server.waitForLine("?[12 bytes] 200 ", 5).find("module timed out"), std::string::npos);
  // A client that does not read its large page is cut off at the limit too.
  int fd = connectTo(port());
  sendAll(fd, "GET /echo?size=40000000 HTTP/1.0\r\n\r\n");
  std::string line = server.waitForLine("?[13 bytes] 200 ", kModuleSeconds + 3);
  EXPECT_NE(line.find("module timed out"), std::string::npos) << line;
  close(fd);
}

// The order form whose mail command (slowmail.sh) takes the letter at once but sends it only
// 30 seconds later: a request that is cut off must take the command with it, so that no letter
// goes out after the customer was told the order failed.
class ModhostSlowMail : public testing::Test {
 protected:
  void SetUp() override {
    fs::path module = fs::path(TEST_MODULES) / "slowtolv-mod.so";
    ASSERT_TRUE(fs::exists(module)) << module << " is not built";
    fs::create_symlink(module, tree.modules / "slowtolv-mod.so");
    setenv("SLOWMAIL_DIR", tree.root.c_str(), 1);
  }

  void startServer(int moduleSeconds) {
    server.emplace(
        std::vector<std::string>{"-t", std::to_string(moduleSeconds), "0", tree.modules.string()});
  }
  Response order() {
    return get(server->port(), "/slowtolv?pwd=GarnetFoXy&sub=1&name=A&adr=B&phone=1");
  }

  // Returns the mail command's pid once it has taken the whole letter; 0 if it never does.
  pid_t mailCommand() {
    for (auto start = Clock::now(); !fs::exists(tree.root / "pid") && secondsSince(start) < 10;)
      usleep(20000);
    pid_t pid = 0;
    std::ifstream(tree.root / "pid") >> pid;
    return pid;
  }

  // Checks that the mail command pid ends (a zombie at most) within 5 seconds, letter unsent.
  void expectKilled(pid_t pid) {
    ASSERT_GT(pid, 0) << "the order never reached the mail command";
    std::string stat = "/proc/" + std::to_string(pid) + "/stat", line;
    auto start = Clock::now();
    for (std::ifstream in(stat); std::getline(in, line) && line.find(") Z ") == line.npos;
         in = std::ifstream(stat)) {
      ASSERT_LT(secondsSince(start), 5) << "the mail command outlived its request";
      usleep(20000);
    }
    EXPECT_FALSE(fs::exists(tree.root / "letter"));
  }

  ModuleTree tree;
  std::optional<Server> server;
};

TEST_F(ModhostSlowMail, ModulePastItsTimeIsKilledWithItsMailCommand) {
  startServer(4);  // time enough to reach the mail command on a busy machine
  Response r = order();
  expectErrorPage(r, 500);
  EXPECT_NE(r.body().find("did not answer within 4 seconds"), std::string::npos) << r.raw;
  EXPECT_NE(server->waitForLine("module timed out", 5), "");
  expectKilled(mailCommand());
}

TEST_F(ModhostSlowMail, EndOfStopGraceKillsTheMailCommandToo) {
  startServer(60);
  std::thread customer([this] { order(); });
  pid_t pid = mailCommand();
  EXPECT_EQ(server->stop(SIGTERM, 15), 0);  // after its 5 seconds of grace
  customer.join();
  expectKilled(pid);
}

TEST_F(ModhostTest, ServesClientsConcurrentlyAndReapsEveryChild) {
  // Eight requests that each take a second finish together.
  auto start = Clock::now();
  std::vector<std::thread> clients;
  std::vector<int> statuses(8);
  for (size_t i = 0; i < statuses.size(); i++)
    clients.emplace_back([&, i] { statuses[i] = get(port(), "/echo?sleep=1000").status(); });
  for (std::thread &t : clients) t.join();
  EXPECT_LT(secondsSince(start), 5);  // one after another would take 8
  for (int s : statuses) EXPECT_EQ(s, 200);

  // A burst beyond the limit of children at once: all served, and none left behind after.
  clients.clear();
  std::vector<int> burst(48);
  for (size_t i = 0; i < burst.size(); i++)
    clients.emplace_back(
        [&, i] { burst[i] = get(port(), "/echo?sleep=200&i=" + std::to_string(i)).status(); });
  for (std::thread &t : clients) t.join();
  for (int s : burst) EXPECT_EQ(s, 200);
  start = Clock::now();
  while (!childrenOf(server.pid()).empty() && secondsSince(start) < 5) usleep(50000);
  EXPECT_TRUE(childrenOf(server.pid()).empty());
  EXPECT_EQ(server.waitForLines(1 + 8 + 48, 5).size(), 1u + 8 + 48);
}

TEST_F(ModhostTest, VanishedClientsDoNotDisturbTheServer) {
  // Gone before the module writes its large page: the module still runs to its end.
  int fd = connectTo(port());
  sendAll(fd, "GET /echo?sleep=1000&size=4000000 HTTP/1.0\r\n\r\n");
  usleep(300000);  // the request has been read
  resetClose(fd);
  // Gone in the middle of the request line.
  fd = connectTo(port());
  sendAll(fd, "GET /ec");
  close(fd);
  // Gone in the middle of a response.
  fd = connectTo(port());
  sendAll(fd, "GET /echo?stall=300&size=4000001 HTTP/1.0\r\n\r\n");
  char some[100];
  EXPECT_GT(read(fd, some, sizeof some), 0);
  resetClose(fd);
  EXPECT_NE(server.waitForLine("- - 400 ", 10), "");
  for (const char *query : {"?[23 bytes] 200 ", "?[22 bytes] 200 "}) {
    std::string line = server.waitForLine(query, 10);
    EXPECT_NE(line.find("module exit 0, client gone"), std::string::npos) << line;
  }
  EXPECT_EQ(get(port(), "/echo").status(), 200);
}

TEST_F(ModhostTest, SigtermLetsRequestsFinishThenEndsCleanly) {
  // A request in progress is answered; a connection that has asked nothing yet is closed.
  Response r;
  std::thread client([&] { r = get(port(), "/echo?sleep=1000"); });
  int idle = connectTo(port());
  usleep(300000);
  auto start = Clock::now();
  EXPECT_EQ(server.stop(SIGTERM, 8), 0);
  EXPECT_LT(secondsSince(start), 3);
  client.join();
  EXPECT_EQ(r.status(), 200);
  EXPECT_EQ(readAll(idle, 1), "");
  close(idle);
  EXPECT_EQ(connectTo(port()), -1);
  EXPECT_NE(server.waitForLine("modhost: stopped", 2), "");
}

TEST_F(ModhostTest, SigintEndsCleanly) {
  EXPECT_EQ(get(port(), "/echo").status(), 200);
  EXPECT_EQ(server.stop(SIGINT, 8), 0);
}

// Runs modhost with args and returns its exit status, its standard error in *err and, if out is
// given, its standard output in *out.
int runToEnd(std::vector<std::string> args, std::string *err, std::string *out = nullptr) {
  args.insert(args.begin(), MODHOST);
  ChildResult r = runProgram(args);
  *err = r.err;
  if (out != nullptr) *out = r.out;
  return exitedWith(r.status, WEXITSTATUS(r.status)) ? WEXITSTATUS(r.status) : -1;
}

TEST(ModhostCommandLine, RefusesBadArguments) {
  std::string err;
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"http"},
                                             {"70000"},
                                             {"-1"},
                                             {"0", "/tmp", "127.0.0.1", "more"},
                                             {"-t", "0", "0"},
                                             {"0", "/tmp", "localhost"},
                                             {"-x"},
                                             {"-a", "localhost", "0", "/tmp"},
                                             {"-a", "127.0.0.1", "0", "/tmp", "127.0.0.1"},
                                             {"-i", "../echo", "0", "/tmp"}}) {
    EXPECT_EQ(runToEnd(args, &err), 1) << args[0];
    EXPECT_NE(err.find("Usage: "), std::string::npos) << err;
  }
  EXPECT_EQ(runToEnd({"0", "/nonexistent/modules"}, &err), 1);
  EXPECT_NE(err.find("/nonexistent/modules: No such file or directory"), std::string::npos);
  EXPECT_EQ(runToEnd({"0", MODHOST}, &err), 1);
  EXPECT_NE(err.find("not a directory"), std::string::npos) << err;
}

TEST(ModhostCommandLine, HelpPrintsTheUsageAndSucceeds) {
  for (const char *option : {"-h", "--help"}) {
    std::string err, out;
    EXPECT_EQ(runToEnd({option}, &err, &out), 0) << option;
    EXPECT_EQ(out.rfind(std::string("Usage: ") + MODHOST + " [-t module-seconds] [-a address]", 0),
              0u)
        << out;
    EXPECT_EQ(err, "");
  }
}

TEST(ModhostCommandLine, DefaultModuleFolderIsTheProgramsOwnAndAddressIsChosen) {
  ModuleTree tree;
  fs::copy_file(MODHOST, tree.modules / "modhost");
  fs::permissions(tree.modules / "modhost", fs::perms::owner_all);
  // Started from its copy beside the modules, with no folder given.
  {
    Server copy({"0"}, {}, (tree.modules / "modhost").string());
    std::vector<std::string> log = copy.waitForLines(1, 10);
    ASSERT_FALSE(log.empty());
    const std::string &line = log[0];
    EXPECT_NE(line.find("http://127.0.0.1:"), std::string::npos) << line;
    EXPECT_NE(line.find(tree.modules.string()), std::string::npos) << line;
    ASSERT_GT(copy.port(), 0) << line;
    EXPECT_EQ(get(copy.port(), "/echo").status(), 200);
    EXPECT_EQ(copy.stop(SIGTERM, 10), 0);
  }

  // The address given after the folder or with -a.
  for (std::vector<std::string> args :
       {std::vector<std::string>{"0", tree.modules.string(), "127.0.0.2"},
        std::vector<std::string>{"-a", "127.0.0.2", "0", tree.modules.string()}}) {
    Server other(args);
    EXPECT_EQ(connectTo(other.port(), "127.0.0.1"), -1);
    int fd = connectTo(other.port(), "127.0.0.2");
    ASSERT_GE(fd, 0);
    sendAll(fd, "GET /echo HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Response{readAll(fd, 5)}.status(), 200);
    close(fd);
  }
}

}  // namespace
