// Scratch space for tests; see testdir.h.
#include "testdir.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

TestDir::TestDir() {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/modtest.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) perror("mkdtemp");
  path_ = pattern;
}

TestDir::~TestDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TestDir::subdir(const char *name) const {
  std::string dir = path_ + "/" + name;
  if (mkdir(dir.c_str(), 0700) != 0) perror("mkdir");
  return dir;
}

std::vector<std::string> filesIn(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TempFile::TempFile() {
  const char *dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/test-XXXXXX";
  fd = mkstemp(path.data());
  if (fd >= 0) unlink(path.c_str());
}

TempFile::~TempFile() {
  if (fd >= 0) close(fd);
}

std::string TempFile::contents() const {
  std::string text;
  char buf[65536];
  ssize_t n;
  for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
    text.append(buf, static_cast<size_t>(n));
  return text;
}
