// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>
#include <vector>

class TestDir {
 public:
  TestDir();
  ~TestDir();
  TestDir(const TestDir &) = delete;
  TestDir &operator=(const TestDir &) = delete;

  const std::string &path() const { return path_; }
  // Makes the subfolder name and returns its path.
  std::string subdir(const char *name) const;

 private:
  std::string path_;
};

// Returns the names in folder dir (without "." and ".."), empty if it cannot be read.
std::vector<std::string> filesIn(const std::string &dir);
// Returns the contents of file path, or "<missing>" if it cannot be read.
std::string readFile(const std::string &path);
