// Shared by the modhost tests: a real server process with its log, a module folder, and
// clients over real sockets on 127.0.0.1.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "io.h"
#include "net.h"
#include "procfs.h"
#include "server.h"
#include "testdir.h"

namespace modhost_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kModuleSeconds = 2;  // the -t given to the server under test

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A folder for one test: modules/ is the server's module folder, with the test modules
// linked in, a file that is no module, and a folder named like one; outside-mod.so sits
// beside it, where no request may reach.
struct ModuleTree {
  TestDir dir;
  fs::path root = dir.path(), modules = root / "modules";
  ModuleTree() {
    fs::create_directory(modules);
    for (const char *name : {"echo-mod.so", "die-mod.so", "mute-mod.so"})
      fs::create_symlink(fs::path(TEST_MODULES) / name, modules / name);
    std::ofstream(modules / "junk-mod.so") << "not a shared object\n";
    fs::create_directory(modules / "dir-mod.so");
    fs::create_symlink(fs::path(TEST_MODULES) / "echo-mod.so", root / "outside-mod.so");
  }
};

// A modhost process (or the program given, such as a copy of modhost), under the command
// wrapper if one is given (such as prlimit), with each NAME=value of environment set; its port
// is read from its first log line. Waits are in seconds, as everywhere in these tests.
class Server : public ServerProcess {
 public:
  explicit Server(std::vector<std::string> args, std::vector<std::string> wrapper = {},
                  const std::string &program = MODHOST,
                  const std::vector<std::string> &environment = {})
      : ServerProcess(commandLine(std::move(args), std::move(wrapper), program), environment) {
    std::string first = waitForLine("listening on http://", 10);
    size_t colon = first.find(':', first.find("//"));
    if (colon != std::string::npos) port_ = atoi(first.c_str() + colon + 1);
  }

  int port() const { return port_; }

  // Returns the first log line containing text, waiting at most seconds; "" if none came.
  std::string waitForLine(const std::string &text, double seconds) {
    return ServerProcess::waitForLine(text, millis(seconds));
  }
  // Waits until the log has at least count lines (the listening line included).
  std::vector<std::string> waitForLines(size_t count, double seconds) {
    return ServerProcess::waitForLines(count, millis(seconds));
  }
  // Sends sig and returns the exit status, or -1 if the server did not end within seconds.
  int stop(int sig, double seconds) { return ServerProcess::stop(sig, millis(seconds)); }

 private:
  static int millis(double seconds) { return static_cast<int>(seconds * 1000); }
  static std::vector<std::string> commandLine(std::vector<std::string> args,
                                              std::vector<std::string> wrapper,
                                              const std::string &program) {
    wrapper.push_back(program);
    wrapper.insert(wrapper.end(), args.begin(), args.end());
    return wrapper;
  }

  int port_ = 0;
};

// Reads until the server closes, at most seconds.
inline std::string readAll(int fd, double seconds) {
  return readToEnd(fd, static_cast<int>(seconds * 1000)).data;
}

struct Response {
  std::string raw;
  int status() const { return raw.rfind("HTTP/1.0 ", 0) == 0 ? atoi(raw.c_str() + 9) : 0; }
  std::string body() const {
    size_t end = raw.find("\r\n\r\n");
    return end == std::string::npos ? "" : raw.substr(end + 4);
  }
  // The response without its Date header, which every response has right after its status
  // line; "" if it has none there.
  std::string withoutDate() const {
    size_t at = raw.find("\r\n") + 2;
    if (at == std::string::npos + 2 || raw.compare(at, 6, "Date: ") != 0) return "";
    size_t end = raw.find("\r\n", at);
    return end == std::string::npos ? "" : raw.substr(0, at) + raw.substr(end + 2);
  }
};

// Sends request as it stands and returns what comes back.
inline Response roundTrip(int port, const std::string &request, double seconds = 10) {
  int fd = connectTo(port);
  EXPECT_GE(fd, 0);
  if (fd < 0) return {};
  sendAll(fd, request);
  Response r{readAll(fd, seconds)};
  close(fd);
  return r;
}

inline Response get(int port, const std::string &target) {
  return roundTrip(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

class ModhostTest : public ::testing::Test {
 protected:
  ModuleTree tree;
  Server server{{"-t", std::to_string(kModuleSeconds), "0", tree.modules.string()}};
  int port() const { return server.port(); }
};

// Every error gets a complete HTML page, one log line, and the server goes on.
inline void expectErrorPage(const Response &r, int status) {
  EXPECT_EQ(r.status(), status) << r.raw;
  EXPECT_NE(r.raw.find("\r\nContent-Type: text/html\r\n"), std::string::npos) << r.raw;
  EXPECT_NE(r.body().find("<TITLE>" + std::to_string(status) + " "), std::string::npos) << r.raw;
  size_t length = r.raw.find("Content-Length: ");
  ASSERT_NE(length, std::string::npos);
  EXPECT_EQ(static_cast<size_t>(atoi(r.raw.c_str() + length + 16)), r.body().size());
}

}  // namespace modhost_test
