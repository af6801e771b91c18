// trapwrite: the three lines, 77 bytes in all, in the order of the three roads, whether
// standard output is a pipe or a file; and the third road is printf in the binary too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "child.h"

namespace {

constexpr char kExpected[] =
    "Hello World without syscall\n"
    "Hello World with syscall\n"
    "Hello World with printf\n";
static_assert(sizeof kExpected - 1 == 77);

void expectExitedZero(int status) {
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Trapwrite, ThreeLinesInOrderIntoAPipe) {
  Proc p = startProgram(PROGRAM);
  ASSERT_GT(p.pid, 0);
  std::string out, err;
  expectExitedZero(finish(p, out, err));
  EXPECT_EQ(out, kExpected);
  EXPECT_EQ(err, "");
}

TEST(Trapwrite, ThreeLinesInOrderIntoAFile) {
  std::string path = testing::TempDir() + "trapwrite.XXXXXX";
  const int fd = mkstemp(path.data());
  ASSERT_GE(fd, 0) << path;
  unlink(path.c_str());
  Proc p = startProgram(PROGRAM, -1, fd);
  ASSERT_GT(p.pid, 0);
  std::string out, err;
  expectExitedZero(finish(p, out, err));
  EXPECT_EQ(err, "");

  char buf[2 * sizeof kExpected] = {};
  const ssize_t n = pread(fd, buf, sizeof buf, 0);
  close(fd);
  ASSERT_GE(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), kExpected);
}

TEST(Trapwrite, TakesEachRoadFromTheLibrary) {
  const std::vector<std::string> imported = importedSymbols(PROGRAM);
  ASSERT_FALSE(imported.empty()) << "nm could not read " << PROGRAM;
  auto imports = [&](const char *name) {
    return std::find(imported.begin(), imported.end(), name) != imported.end();
  };
  EXPECT_TRUE(imports("write"));
  EXPECT_TRUE(imports("syscall"));
  EXPECT_TRUE(imports("printf"));
  EXPECT_FALSE(imports("puts"));  // what the compiler makes of printf("%s", "...\n")
}

}  // namespace
