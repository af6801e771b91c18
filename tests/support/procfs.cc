// What /proc tells about a process under test; see procfs.h.
#include "procfs.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::vector<pid_t> childrenOf(pid_t pid, bool zombiesOnly) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator("/proc", ec)) {
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

size_t openDescriptors(pid_t pid) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    n++;
  return n;
}

std::set<std::string> socketInodes(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code ec;
  fs::path dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    std::string target = fs::read_symlink(entry.path(), ec).string();
    if (target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
  }
  return inodes;
}

int listeningPortOf(pid_t pid) {
  std::set<std::string> inodes = socketInodes(pid);
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);  // the heading
  while (std::getline(tcp, line)) {
    std::istringstream in(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    in >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
        inode;
    if (state == "0A" && inodes.count(inode))  // 0A: listening
      return static_cast<int>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
  }
  return 0;
}
