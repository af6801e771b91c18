// tallylock: the two workers' twenty million locked additions all count, and the verdict
// says so. In the ThreadSanitizer build the run must also stay free of race reports.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "child.h"

namespace {

constexpr int kTimeoutMs = 240000;  // ample for the instrumented builds on a busy machine

TEST(Tallylock, CountComesOutRight) {
  Proc p = startProgram(PROGRAM);
  ASSERT_GT(p.pid, 0);
  std::string out, err;
  const int status = finish(p, out, err, kTimeoutMs);
  EXPECT_EQ(out,
            "Start Test. Final count should be 20000000\n"
            "\n>>>>>> O.K. Final count is 20000000\n");
  EXPECT_EQ(err, "");  // a sanitizer's report would land here
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
