// ctrl-c: a prompt loop that catches the interrupt signal instead of dying from it.
// The line "exit" ends it with status 1; the end of standard input ends it with status 0.
// Usage: ctrl-c
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "decimal.h"

namespace {

constexpr int kLineSize = 20;  // one read takes at most 19 characters and a zero byte
constexpr int kExitAfterExit = 1;
constexpr int kExitAtEndOfInput = 0;  // input ran out: a normal end, not the user's "exit"
constexpr int kExitFailure = 2;       // no handler installed, or standard input failed

}  // namespace

// The SIGINT handler: writes "\nsig:<sig>      Ouch!\n" to standard error. It may run between
// any two steps of the loop, so it uses no stdio, only memcpy, strlen and write, and keeps errno.
extern "C" void disp(int sig) {
  static constexpr char kHead[] = "\nsig:";
  static constexpr char kTail[] = "      Ouch!\n";
  constexpr size_t kHeadLen = sizeof kHead - 1;
  constexpr size_t kTailLen = sizeof kTail - 1;
  char msg[kHeadLen + sizeof(Decimal::digits) + kTailLen];
  const int savedErrno = errno;

  Decimal number(static_cast<unsigned>(sig));
  size_t digits = strlen(number.text);
  char *p = msg;
  memcpy(p, kHead, kHeadLen);
  memcpy(p + kHeadLen, number.text, digits);
  char *tail = p + kHeadLen + digits;
  memcpy(tail, kTail, kTailLen);
  write(STDERR_FILENO, p, static_cast<size_t>(tail + kTailLen - p));
  errno = savedErrno;
}

int main() {
  puts("Type ctrl-c or \"exit\"");

  // Flags 0: no SA_RESTART, so a read waiting for a line is cut short by the interrupt;
  // the handler stays installed; a second interrupt waits while disp runs.
  struct sigaction sa;
  sa.sa_handler = disp;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  if (sigaction(SIGINT, &sa, nullptr) != 0) {
    perror("sigaction");
    exit(kExitFailure);
  }

  char line[kLineSize] = "";
  for (;;) {
    printf("prompt>");
    fflush(stdout);
    if (fgets(line, kLineSize, stdin) == nullptr) {
      if (ferror(stdin) && errno == EINTR) {  // interrupted: no line taken, prompt again
        clearerr(stdin);
        continue;
      }
      if (feof(stdin)) {  // end the prompt's line before leaving
        putchar('\n');
        exit(kExitAtEndOfInput);
      }
      perror("fgets");
      exit(kExitFailure);
    }
    // Exact and case-sensitive; a longer line comes in 19-character pieces, each compared
    // by itself.
    if (strcmp(line, "exit\n") == 0) {
      puts("Bye!");
      exit(kExitAfterExit);
    }
  }
}
