// modhost under faults, each bounded in time: many idle connections, clients too slow to finish
// a request, a long run of requests, and a server short of descriptors.
#include "harness.h"

namespace {

using namespace modhost_test;

class ModhostFault : public ModhostTest {};

TEST_F(ModhostFault, IdleConnectionsDoNotStarveRequests) {
  constexpr int kIdle = 200;
  size_t before = openDescriptors(server.pid());
  auto start = Clock::now();
  std::vector<int> idle;
  for (int i = 0; i < kIdle; i++) {
    int fd = connectTo(port());
    ASSERT_GE(fd, 0);
    if (i % 2 == 1) sendAll(fd, "GET /echo HTTP/1.0\r\nHost: 127.0.0.1\r\n");  // never ends
    idle.push_back(fd);
  }
  // Real requests are served at once, one after another and several together.
  for (int i = 0; i < 20; i++) {
    auto asked = Clock::now();
    EXPECT_EQ(get(port(), "/echo?i=" + std::to_string(i)).status(), 200);
    EXPECT_LT(secondsSince(asked), 3);
  }
  std::vector<std::thread> clients;
  std::vector<int> statuses(8);
  auto together = Clock::now();
  for (size_t i = 0; i < statuses.size(); i++)
    clients.emplace_back([&, i] { statuses[i] = get(port(), "/echo?sleep=500").status(); });
  for (std::thread &t : clients) t.join();
  EXPECT_LT(secondsSince(together), 4);
  for (int s : statuses) EXPECT_EQ(s, 200);
  // All that long before the idle connections reach the request limit, and they are still held.
  ASSERT_LT(secondsSince(start), 9.5);
  for (int fd : idle) {
    pollfd pfd = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
  }
  // At the limit each of them gets its 408, and the server is left as it was.
  int timedOut = 0;
  for (int fd : idle) {
    if (Response{readAll(fd, std::max(0.1, 15 - secondsSince(start)))}.status() == 408) timedOut++;
    close(fd);
  }
  EXPECT_EQ(timedOut, kIdle);
  auto closing = Clock::now();
  while (openDescriptors(server.pid()) != before && secondsSince(closing) < 3) usleep(50000);
  EXPECT_EQ(openDescriptors(server.pid()), before);
}

TEST_F(ModhostFault, SilentAndTricklingClientsGet408AtTenSeconds) {
  // The limit is for the whole request: a byte every two seconds does not keep it open.
  std::string request = "GET /echo HTTP/1.0\r\n\r\n";
  auto start = Clock::now();
  double silentTime = 0;
  Response silent, partial;
  std::thread silentClient([&] {
    int fd = connectTo(port());
    silent.raw = readAll(fd, 15);
    silentTime = secondsSince(start);
    close(fd);
  });
  std::thread partialClient([&] {
    int fd = connectTo(port());
    sendAll(fd, "GET /echo HTTP/1.0\r\nHost: x\r\n");
    partial.raw = readAll(fd, 15);
    close(fd);
  });
  int fd = connectTo(port());
  size_t sent = 0;
  std::string got;
  while (sent < request.size() && secondsSince(start) < 14) {
    sendAll(fd, request.substr(sent++, 1));
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 2000) > 0) break;
  }
  Response trickled{readAll(fd, 15 - secondsSince(start))};
  double trickleTime = secondsSince(start);
  close(fd);
  silentClient.join();
  partialClient.join();
  expectErrorPage(silent, 408);
  expectErrorPage(partial, 408);
  expectErrorPage(trickled, 408);
  EXPECT_GT(silentTime, 9.5);
  EXPECT_LT(silentTime, 12.5);
  EXPECT_GT(trickleTime, 9.5);
  EXPECT_LT(trickleTime, 12.5);
  EXPECT_LT(sent, request.size());
}

// Waits until pid has no child, not even a zombie, at most seconds; returns true if so.
bool childrenGone(pid_t pid, double seconds) {
  auto start = Clock::now();
  while (!childrenOf(pid).empty() && secondsSince(start) < seconds) usleep(20000);
  return childrenOf(pid).empty();
}

TEST_F(ModhostFault, ThousandRequestsLeaveNoZombieAndNoDescriptor) {
  constexpr int kRequests = 1000;
  size_t before = openDescriptors(server.pid());
  int wrong = 0;
  for (int i = 0; i < kRequests; i++) {
    int status = 0, expected = 0;
    switch (i % 8) {
      case 4:
        status = get(port(), "/nosuch").status(), expected = 404;
        break;
      case 5:
        status = roundTrip(port(), "BAD\r\n\r\n").status(), expected = 400;
        break;
      case 6:
        status = get(port(), "/die?exit").status(), expected = 500;
        break;
      case 7: {  // a client that leaves at the start of its answer
        int fd = connectTo(port());
        sendAll(fd, "GET /echo?size=100000 HTTP/1.0\r\n\r\n");
        char some[100];
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 5000) != 1 || read(fd, some, sizeof some) <= 0) wrong++;
        resetClose(fd);
        break;
      }
      default:
        status = get(port(), "/echo?i=" + std::to_string(i)).status(), expected = 200;
        break;
    }
    if (status != expected) wrong++;
    // Every child is reaped as it ends, not only at the end of the run.
    if (i % 100 == 99) {
      EXPECT_TRUE(childrenGone(server.pid(), 5))
          << "after " << i + 1 << "; last log line: " << server.waitForLines(0, 0).back();
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(server.waitForLines(1 + kRequests, 20).size(), 1u + kRequests);  // one line each
  EXPECT_TRUE(childrenGone(server.pid(), 10));
  EXPECT_TRUE(childrenOf(server.pid(), true).empty());
  auto start = Clock::now();
  while (openDescriptors(server.pid()) != before && secondsSince(start) < 3) usleep(50000);
  EXPECT_EQ(openDescriptors(server.pid()), before);
}

// Started with 64 descriptors the server holds 48 connections; more idle ones than that turn
// away the oldest with a 503, and a real request still gets through.
TEST(ModhostFaultLimits, FewDescriptorsTurnAwayTheOldestIdleConnection) {
  constexpr const char *Prlimit = "/usr/bin/prlimit";
  if (access(Prlimit, X_OK) != 0) GTEST_SKIP() << Prlimit << " is missing";
  constexpr int kHeld = 64 - 16, kIdle = 60;
  ModuleTree tree;
  Server server({"-t", "2", "0", tree.modules.string()}, {Prlimit, "--nofile=64", "--"});
  ASSERT_GT(server.port(), 0);
  std::vector<int> idle;
  for (int i = 0; i < kIdle; i++) {
    idle.push_back(connectTo(server.port()));
    ASSERT_GE(idle.back(), 0);
  }
  auto start = Clock::now();
  EXPECT_EQ(get(server.port(), "/echo").status(), 200);
  EXPECT_LT(secondsSince(start), 3);
  int turnedAway = kIdle + 1 - kHeld;  // the request above took a place too
  for (int i = 0; i < kIdle; i++) {
    if (i < turnedAway) {
      expectErrorPage(Response{readAll(idle[i], 3)}, 503);
    } else {
      pollfd pfd = {idle[i], POLLIN, 0};
      EXPECT_EQ(poll(&pfd, 1, 0), 0) << i;
    }
    close(idle[i]);
  }
}

}  // namespace
