// letterloop: nothing but the letter C, no end of its own, and an end by the default action
// of the signal that stops it; printed by printf itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>

#include "child.h"

namespace {

constexpr size_t kSample = 1 << 16;  // several buffer-fulls of the stream

TEST(Letterloop, PrintsOnlyCUntilASignalEndsIt) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    Proc p = startProgram(PROGRAM);
    ASSERT_GT(p.pid, 0);
    const std::string sample = readSome(p.out, kSample);
    EXPECT_EQ(sample.size(), kSample);
    EXPECT_EQ(sample.find_first_not_of('C'), std::string::npos);

    int status = 0;
    EXPECT_EQ(waitpid(p.pid, &status, WNOHANG), 0) << "ended by itself";
    kill(p.pid, sig);
    std::string rest, err;
    status = finish(p, rest, err);
    EXPECT_EQ(rest.find_first_not_of('C'), std::string::npos);
    EXPECT_EQ(err, "");
    ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
  }
}

TEST(Letterloop, PrintsThroughPrintf) {
  const std::vector<std::string> imported = importedSymbols(PROGRAM);
  ASSERT_FALSE(imported.empty()) << "nm could not read " << PROGRAM;
  EXPECT_NE(std::find(imported.begin(), imported.end(), "printf"), imported.end());
  // What the compiler makes of printf("%s", "C").
  EXPECT_EQ(std::find(imported.begin(), imported.end(), "putchar"), imported.end());
}

}  // namespace
