// Shared by the modhost tests: a real server process with its log, a module folder, and
// clients over real sockets on 127.0.0.1.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace modhost_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int ModuleSeconds = 2;  // the -t given to the server under test

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A folder for one test: modules/ is the server's module folder, with the test modules
// linked in, a file that is no module, and a folder named like one; outside-mod.so sits
// beside it, where no request may reach.
struct ModuleTree {
  fs::path root, modules;
  ModuleTree() {
    char pattern[] = "/tmp/modhost-test-XXXXXX";
    root = mkdtemp(pattern);
    modules = root / "modules";
    fs::create_directory(modules);
    for (const char *name : {"echo-mod.so", "die-mod.so", "mute-mod.so"})
      fs::create_symlink(fs::path(TEST_MODULES) / name, modules / name);
    std::ofstream(modules / "junk-mod.so") << "not a shared object\n";
    fs::create_directory(modules / "dir-mod.so");
    fs::create_symlink(fs::path(TEST_MODULES) / "echo-mod.so", root / "outside-mod.so");
  }
  ~ModuleTree() { fs::remove_all(root); }
};

// A modhost process whose standard output (the log) is collected line by line.
class Server {
 public:
  // Runs modhost with args, under the command wrapper if one is given (such as prlimit).
  explicit Server(std::vector<std::string> args, std::vector<std::string> wrapper = {}) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char *> argv;
    args.insert(args.begin(), MODHOST);
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    reader_ = std::thread([this, fd = out[0]] { collect(fd); });
    std::string first = waitForLine("listening on http://", 10);
    size_t colon = first.find(':', first.find("//"));
    if (colon != std::string::npos) port_ = atoi(first.c_str() + colon + 1);
  }
  ~Server() {
    if (pid_ > 0 && stop(SIGTERM, 10) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Returns the first log line containing text, waiting at most seconds; "" if none came.
  std::string waitForLine(const std::string &text, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string found;
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      for (const std::string &line : lines_)
        if (line.find(text) != std::string::npos) return found = line, true;
      return closed_;
    });
    return found;
  }

  // Waits until the log has at least count lines (the listening line included).
  std::vector<std::string> waitForLines(size_t count, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                      [&] { return lines_.size() >= count || closed_; });
    return lines_;
  }

  // Sends sig and returns the exit status, or -1 if the server did not end within seconds.
  int stop(int sig, double seconds) {
    kill(pid_, sig);
    auto start = Clock::now();
    int status;
    while (secondsSince(start) < seconds) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(20000);
    }
    return -1;
  }

 private:
  void collect(int fd) {
    std::string pending;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
      pending.append(buf, static_cast<size_t>(n));
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
        lines_.push_back(pending.substr(0, nl));
      changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int port_ = 0;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

inline int connectTo(int port, const char *address = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline void sendText(int fd, const std::string &text) {
  EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Reads until the server closes, at most seconds.
inline std::string readAll(int fd, double seconds) {
  std::string got;
  auto start = Clock::now();
  char buf[65536];
  for (;;) {
    int left = static_cast<int>((seconds - secondsSince(start)) * 1000);
    pollfd pfd = {fd, POLLIN, 0};
    if (left <= 0 || poll(&pfd, 1, left) <= 0) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
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
  sendText(fd, request);
  Response r{readAll(fd, seconds)};
  close(fd);
  return r;
}

inline Response get(int port, const std::string &target) {
  return roundTrip(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

// Returns the processes whose parent is pid; only the zombies among them if zombiesOnly.
inline std::vector<pid_t> childrenOf(pid_t pid, bool zombiesOnly = false) {
  std::vector<pid_t> found;
  for (const auto &entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state;
    int ppid;
    if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == pid &&
        (!zombiesOnly || state == 'Z'))
      found.push_back(atoi(entry.path().filename().c_str()));
  }
  return found;
}

// Returns the number of descriptors that process pid has open.
inline size_t openDescriptors(pid_t pid) {
  size_t n = 0;
  for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    (void)entry;
    n++;
  }
  return n;
}

class ModhostTest : public ::testing::Test {
 protected:
  ModuleTree tree;
  Server server{{"-t", std::to_string(ModuleSeconds), "0", tree.modules.string()}};
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

// Closes fd with a reset, as a client that vanishes does.
inline void vanish(int fd) {
  linger reset = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
}

}  // namespace modhost_test
