// heaprun's calls on a damaged heap: from the first fault line on they run in a child
// process, which may loop, crash or abort there. This process passes on what the child
// reports, whole lines of printable text only, and ends the run with a line that says where
// and why it stopped.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "deadline.h"
#include "heapwalk.h"

namespace heaprun {
namespace {

constexpr int kCallMillis = 2000;  // the longest a call on a damaged heap may take

// The parent's side of a run on a damaged heap: passes on each whole line the child writes,
// of printable ASCII only, and ends the run with a stop line when the child dies, takes longer
// than kCallMillis over a call, or writes what no step is. Returns the exit status.
int relay(int fd, pid_t pid, int from) {
  static char line[8 << 20];  // a step's line is at most a few MB
  size_t used = 0;
  int steps = 0;
  const char *why = nullptr;
  long long deadline = nowMillis() + kCallMillis;
  while (why == nullptr) {
    pollfd p = {fd, POLLIN, 0};
    long long left = deadline - nowMillis();
    int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      why = "time";
      break;
    }
    ssize_t n = read(fd, line + used, sizeof line - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t start = 0, end = used + static_cast<size_t>(n);
    for (size_t i = used; i < end && why == nullptr; i++) {
      unsigned char ch = static_cast<unsigned char>(line[i]);
      if (ch == '\n') {
        writeAllOrExit(STDOUT_FILENO, line + start, i + 1 - start);
        steps += line[start] == '[';
        start = i + 1;
        deadline = nowMillis() + kCallMillis;
      } else if (ch < 0x20 || ch > 0x7e) {
        why = "garbled";
      }
    }
    memmove(line, line + start, end - start);
    used = end - start;
    if (used == sizeof line) why = "garbled";
  }
  if (why != nullptr) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (why == nullptr && WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  if (why == nullptr && WIFEXITED(status) && WEXITSTATUS(status) == kBadScript) return kBadScript;
  takeMessage();  // what the allocator wrote before it died
  int at = from + steps < script.callCount ? from + steps : script.callCount - 1;
  long detail = why != nullptr       ? (why[0] == 't' ? kCallMillis : 0)
                : WIFSIGNALED(status) ? WTERMSIG(status)
                                      : WEXITSTATUS(status);
  if (why == nullptr) why = WIFSIGNALED(status) ? "signal" : "exit";
  putStop(script.calls[at].line, why, detail, message, messageLength);
  flushOut();
  return 0;
}

}  // namespace

void runRestInChild(int from) {
  int pipes[2];
  flushOut();
  pid_t pid = pipe(pipes) == 0 ? fork() : -1;
  if (pid < 0) lineError(1, script.calls[from].line, "cannot start the run of a fault", nullptr);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(pipes[0]);
    if (dup2(pipes[1], STDOUT_FILENO) < 0) _exit(1);
    close(pipes[1]);
    return;
  }
  close(pipes[1]);
  _exit(relay(pipes[0], pid, from));
}

}  // namespace heaprun
