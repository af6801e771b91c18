// trapwrite: three lines to standard output by three roads: the write wrapper, the generic
// syscall entry with the call number given by hand, and buffered stdio.
// Usage: trapwrite
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr char kWithoutSyscall[] = "Hello World without syscall\n";
constexpr char kWithSyscall[] = "Hello World with syscall\n";
constexpr char kWithPrintf[] = "Hello World with printf\n";

}  // namespace

int main() {
  // The results are not looked at: a failed write is not reported.
  write(STDOUT_FILENO, kWithoutSyscall, strlen(kWithoutSyscall));
  syscall(SYS_write, STDOUT_FILENO, kWithSyscall, strlen(kWithSyscall));  // 1 on x86-64
  // Waits in the stream's buffer until exit when standard output is not a terminal, so
  // this line is always the last.
  printf("%s", kWithPrintf);
  return 0;
}
