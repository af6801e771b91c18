// The runner and the server process that the other tests stand on, driven with the shell: the
// deadline holds, input and output arrive whole, and a chatty or stubborn server blocks nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "child.h"
#include "server.h"

namespace {

std::vector<std::string> shell(const std::string &script) { return {"/bin/sh", "-c", script}; }

TEST(RunProgram, InputArrivesWholeAndOutputIsCollectedFromAFile) {
  RunOptions options;
  options.input = std::string(300000, 'x') + "\nend\n";
  options.outputToFile = true;
  ChildResult r = runProgram({"/bin/cat"}, options);
  EXPECT_TRUE(exitedWith(r.status, 0)) << r.status;
  EXPECT_EQ(r.out, options.input);
  EXPECT_GT(r.outBlockSize, 0);
  EXPECT_EQ(r.err, "");
}

TEST(RunProgram, StackLimitIsTheChildsAndTheDeadlineEndsIt) {
  RunOptions options;
  options.stackLimit = 1 << 20;
  ChildResult r = runProgram(shell("ulimit -s"), options);
  EXPECT_EQ(r.out, "1024\n");

  options.timeoutMs = 300;
  long long start = nowMillis();
  r = runProgram(shell("exec sleep 30"), options);
  EXPECT_LT(nowMillis() - start, 10000);
  EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL) << r.status;
}

TEST(ServerProcess, OutputLinesErrorsAndEnvironment) {
  ServerProcess server(shell("echo \"zone $TZ\"; echo warned >&2; echo two; exec sleep 30"),
                       {"TZ=ZZZ-05:30"});
  EXPECT_EQ(server.waitForLine("zone", 5000), "zone ZZZ-05:30");
  EXPECT_EQ(server.waitForLines(2, 5000).size(), 2u);
  EXPECT_EQ(server.nextOutput(5, 5000), "zone ");
  EXPECT_FALSE(server.hasExited());
  EXPECT_EQ(server.stop(SIGTERM, 5000), 128 + SIGTERM);
  EXPECT_EQ(server.restOfOutput(5000), "ZZZ-05:30\ntwo\n");
  EXPECT_EQ(server.errorOutput(5000), "warned\n");
}

TEST(ServerProcess, AServerThatWritesMuchNeverBlocks) {
  // Far more than a pipe holds, on standard error, which no test reads while it runs.
  ServerProcess server(shell("head -c 1000000 /dev/zero >&2; echo ready; exec sleep 30"));
  EXPECT_EQ(server.waitForLine("ready", 10000), "ready");
  EXPECT_EQ(server.stop(SIGKILL, 5000), 128 + SIGKILL);
  EXPECT_EQ(server.errorOutput(5000).size(), 1000000u);
}

TEST(ServerProcess, ExitStatusAndAProgramThatCannotStart) {
  ServerProcess ends(shell("exit 3"));
  EXPECT_EQ(ends.waitForExit(5000), 3);
  EXPECT_EQ(ends.listeningPort(1000), 0);

  ServerProcess missing({"/nonexistent/server"});
  EXPECT_EQ(missing.pid(), -1);
  EXPECT_EQ(missing.listeningPort(1000), 0);
  EXPECT_EQ(missing.waitForExit(100), -1);
}

}  // namespace
