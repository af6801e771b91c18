// loadrun in a folder of its own, with descriptor 1 one end of a socket pair (or a pipe).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "child.h"
#include "pages.h"
#include "testdir.h"

namespace {

class LoadrunTest : public testing::Test {
 protected:
  // Places module in the folder as hello.so.
  void install(const char *module) {
    ASSERT_EQ(symlink(module, (dir_.path() + "/hello.so").c_str()), 0);
  }

  // Runs loadrun in the folder with QUERY_STRING set to query (unset if null).
  ChildResult run(const char *query = nullptr, Channel channel = Channel::Socket) {
    return runInChild(
        [&](int fd) {
          dup2(fd, 1);
          close(fd);
          if (chdir(dir_.path().c_str()) != 0) _exit(97);
          if (query != nullptr)
            setenv("QUERY_STRING", query, 1);
          else
            unsetenv("QUERY_STRING");
          setenv("TMPDIR", tmp_.c_str(), 1);
          execl(LOADRUN, "loadrun", "ignored-argument", static_cast<char *>(nullptr));
          perror("execl");
        },
        channel);
  }

  TestDir dir_;
  std::string tmp_ = dir_.subdir("tmp");
};

// Returns the number of lines of text.
long lines(const std::string &text) { return std::count(text.begin(), text.end(), '\n'); }

// The dynamic loader's own account of the failure follows the first line, not errno's text.
TEST_F(LoadrunTest, WithoutAModule) {
  ChildResult r = run();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "./hello.so not found\n"
            "dlopen: ./hello.so: cannot open shared object file: No such file or directory\n");
  EXPECT_TRUE(exitedWith(r.status, 1));
}

TEST_F(LoadrunTest, ModuleThatIsNoLibrary) {
  FILE *junk = fopen((dir_.path() + "/hello.so").c_str(), "w");
  ASSERT_NE(junk, nullptr);
  fputs("not a shared object, but long enough to hold an ELF header's worth of bytes\n", junk);
  fclose(junk);
  ChildResult r = run();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("./hello.so not found\ndlopen: ./hello.so: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
  EXPECT_EQ(lines(r.err), 2);
  EXPECT_TRUE(exitedWith(r.status, 1));
}

TEST_F(LoadrunTest, ModuleWithoutHttprun) {
  install(NOHTTPRUN_MODULE);
  ChildResult r = run();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "dlsym: httprun not found:: ./hello.so: undefined symbol: httprun\n");
  EXPECT_TRUE(exitedWith(r.status, 1));
}

TEST_F(LoadrunTest, HttprunThatReturns) {
  install(RETURNS_MODULE);
  ChildResult r = run();
  EXPECT_EQ(r.out, "returning\na=b&c=d");  // descriptor 1 and the fixed query
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(exitedWith(r.status, 0));
}

TEST_F(LoadrunTest, OrderFormShowsWithoutHostUtilities) {
  install(TOLV_MODULE);
  for (const char *query : {static_cast<const char *>(nullptr), ""}) {
    ChildResult r = run(query);
    EXPECT_EQ(r.out, kHeader + kForm);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exitedWith(r.status, 0));
  }
}

TEST_F(LoadrunTest, OrderFormNeedsAReadWriteDescriptor) {
  install(TOLV_MODULE);
  ChildResult r = run(nullptr, Channel::WritePipe);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "fdopen: Invalid argument\n");
  EXPECT_TRUE(exitedWith(r.status, 1));
}

TEST_F(LoadrunTest, OrderNeedsTheHostUtilities) {
  // The first utility is bound at its call, by its C++ name, and cannot be found: the dynamic
  // loader ends the process. The temporary file made before is gone all the same.
  install(TOLV_MODULE);
  ChildResult r = run("name=N&adr=A&phone=P&sub=0");
  EXPECT_EQ(r.out.find("<TITLE>"), std::string::npos);
  EXPECT_NE(r.err.find("_Z7getwordPcS_c"), std::string::npos) << r.err;
  EXPECT_FALSE(exitedWith(r.status, 0));
  EXPECT_TRUE(filesIn(tmp_).empty());
}

}  // namespace
