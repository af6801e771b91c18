// Scratch space for tests: a fresh folder removed with everything in it afterwards, and a
// temporary file that is gone from the start.
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

// A temporary file in TMPDIR (or /tmp), already unlinked; closed with the object.
struct TempFile {
  int fd;
  TempFile();
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  // Returns all that the file holds.
  std::string contents() const;
};

// Returns the names in folder dir (without "." and ".."), empty if it cannot be read.
std::vector<std::string> filesIn(const std::string &dir);
// Returns the contents of file path, or "<missing>" if it cannot be read.
std::string readFile(const std::string &path);
