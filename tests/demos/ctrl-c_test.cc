// ctrl-c driven through a pipe: each SIGINT while it waits for a line gives one message on
// standard error and the prompt again; only a piece of input that is exactly "exit\n" ends
// it (status 1); the end of input ends it with status 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child.h"

namespace {

constexpr char kGreeting[] = "Type ctrl-c or \"exit\"\n";
constexpr char kPrompt[] = "prompt>";
constexpr char kOuch[] = "\nsig:2      Ouch!\n";
constexpr char kBye[] = "Bye!\n";

std::string prompts(int n) {
  std::string s;
  for (int i = 0; i < n; i++) s += kPrompt;
  return s;
}

struct Outcome {
  int status;
  std::string out, err;
};

// Runs ctrl-c with input as its whole standard input.
Outcome runWithInput(std::string_view input) {
  Outcome r{};
  Proc p = startProgram(PROGRAM);
  if (p.pid <= 0) {
    ADD_FAILURE() << "cannot start " << PROGRAM;
    return r;
  }
  EXPECT_TRUE(writeAll(p.in, input));
  r.status = finish(p, r.out, r.err);
  return r;
}

void expectExited(int status, int code) {
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), code);
}

TEST(CtrlC, ExitLineSaysByeWithStatusOne) {
  Outcome r = runWithInput("exit\n");
  EXPECT_EQ(r.out, std::string(kGreeting) + kPrompt + kBye);
  EXPECT_EQ(r.err, "");
  expectExited(r.status, 1);
}

TEST(CtrlC, EachInterruptIsCaughtAndThePromptComesBack) {
  Proc p = startProgram(PROGRAM);
  ASSERT_GT(p.pid, 0);
  std::string out, err;
  ASSERT_TRUE(readUntil(p.out, out, std::string(kGreeting) + kPrompt)) << out;
  for (int i = 1; i <= 3; i++) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(waitInRead(p.pid));
    ASSERT_EQ(kill(p.pid, SIGINT), 0);
    std::string ouches;
    for (int j = 0; j < i; j++) ouches += kOuch;
    ASSERT_TRUE(readUntil(p.err, err, ouches)) << err;
    ASSERT_TRUE(readUntil(p.out, out, std::string(kGreeting) + prompts(i + 1))) << out;
  }
  // Still taking lines after the interrupts.
  ASSERT_TRUE(writeAll(p.in, "exit\n"));
  std::string outRest, errRest;
  const int status = finish(p, outRest, errRest);
  EXPECT_EQ(out + outRest, std::string(kGreeting) + prompts(4) + kBye);
  EXPECT_EQ(err + errRest, std::string(kOuch) + kOuch + kOuch);
  expectExited(status, 1);
}

TEST(CtrlC, OnlyTheExactLineEnds) {
  // Each line is taken, compared and answered with a new prompt; the last, without its
  // newline, is "exit" but not "exit\n"; then the input ends.
  const char *lines[] = {" exit\n", "exit \n", "EXIT\n", "Exit\n", "exi\n", "\n", "exit"};
  std::string input;
  for (const char *line : lines) input += line;
  Outcome r = runWithInput(input);
  EXPECT_EQ(r.out, kGreeting + prompts(static_cast<int>(std::size(lines)) + 1) + "\n");
  EXPECT_EQ(r.err, "");
  expectExited(r.status, 0);
}

TEST(CtrlC, LongLinesAreComparedIn19CharacterPieces) {
  const std::string piece(19, 'a');
  struct Case {
    std::string input;
    int promptsShown;
    bool endsByExit;
  } cases[] = {
      {piece + "exit\n", 2, true},                  // second piece is "exit\n"
      {piece + piece + "exit\n", 3, true},          // third piece
      {piece.substr(1) + "exit\n", 3, false},       // pieces "aa...ae", "xit\n"
      {piece + "aexit\n" + "exit\n", 3, true},      // "aexit\n" is no exit
      {std::string(20, 'a') + "exit\n", 3, false},  // "aexit\n" again
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.input);
    Outcome r = runWithInput(c.input);
    if (c.endsByExit) {
      EXPECT_EQ(r.out, kGreeting + prompts(c.promptsShown) + kBye);
      expectExited(r.status, 1);
    } else {
      EXPECT_EQ(r.out, kGreeting + prompts(c.promptsShown) + "\n");
      expectExited(r.status, 0);
    }
    EXPECT_EQ(r.err, "");
  }
}

TEST(CtrlC, EndOfInputEndsWithStatusZero) {
  Outcome r = runWithInput("");
  EXPECT_EQ(r.out, std::string(kGreeting) + kPrompt + "\n");
  EXPECT_EQ(r.err, "");
  expectExited(r.status, 0);
}

TEST(CtrlC, FailedReadIsReportedWithStatusTwo) {
  const int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // read() gives EISDIR
  ASSERT_GE(dir, 0);
  Proc p = startProgram(PROGRAM, dir);
  close(dir);
  ASSERT_GT(p.pid, 0);
  std::string out, err;
  const int status = finish(p, out, err);
  EXPECT_EQ(out, std::string(kGreeting) + kPrompt);
  EXPECT_EQ(err, "fgets: Is a directory\n");
  expectExited(status, 2);
}

}  // namespace
