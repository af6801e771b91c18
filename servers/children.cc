// The server's children; see children.h.
#include "children.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "connection.h"
#include "deadline.h"
#include "relay.h"
#include "response.h"

namespace {

constexpr int kStopGraceSeconds = 5;      // for requests in progress at SIGINT or SIGTERM
constexpr int kRequestExitMillis = 1000;  // for requests' processes to end after the grace

pid_t children[kMaxChildren];
int childCount = 0;

// The request whose process starts next: its connection, outside the connection table, which
// that process does not inherit, and the start of its log line.
Connection handedOver;
Outcome handedOutcome;

// Drops pid from the children serving requests.
void forgetChild(pid_t pid) {
  for (int i = 0; i < childCount; i++) {
    if (children[i] == pid) {
      children[i] = children[--childCount];
      return;
    }
  }
}

// In a request's process: closes every descriptor but standard input, output, error and keep.
// The listener and the other connections are not the request's: the server alone decides when
// they close.
void closeAllBut(int keep) {
  unsigned first = 3, self = static_cast<unsigned>(keep);
  if ((self <= first || close_range(first, self - 1, 0) == 0) &&
      close_range(std::max(self + 1, first), ~0U, 0) == 0)
    return;
  long last = std::min(sysconf(_SC_OPEN_MAX), 1L << 16);  // a kernel without close_range
  for (int fd = 3; fd < last; fd++)
    if (fd != keep) close(fd);
}

// Runs c's module in a process of its own; the server keeps no part of the connection.
void startChild(const Settings &settings, Connection *c, const sigset_t &originalMask) {
  // What can be done before the fork is done here, in the server, whose code and data are at
  // hand, rather than in a fresh process that would first fault in the pages it needs: the
  // log line's start (the time zone read and the times formatted) and the Date header.
  copyConnection(*c, &handedOver);
  handedOutcome = Outcome{};
  describeRequest(handedOver, &handedOutcome);
  httpDate();
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    answer(c, 503, "");
    return;
  }
  if (pid == 0) {
    closeAllBut(handedOver.client);
    runRequest(settings, &handedOver, &handedOutcome, originalMask);
  }
  releaseConnection(c);
  children[childCount++] = pid;
}

// Reaps children until none is left, millis have passed, or (if stopSignals is given) a second
// stop signal has come.
void awaitChildren(int millis, const sigset_t &waitMask, const volatile sig_atomic_t *stopSignals) {
  long long deadline = nowMillis() + millis;
  while (reapChildren() > 0 && !(stopSignals != nullptr && *stopSignals >= 2)) {
    int left = millisLeft(deadline);
    if (left == 0) break;
    timespec timeout = {left / 1000, (left % 1000) * 1000000L};
    ppoll(nullptr, 0, &timeout, &waitMask);
  }
}

}  // namespace

void startWaitingRequests(const Settings &settings, const sigset_t &originalMask) {
  while (childCount < kMaxChildren) {
    Connection *oldest = nullptr;
    for (int k = 0; k < heldCount; k++) {
      Connection *c = held[k];
      if (c->phase == Phase::Ready && (oldest == nullptr || c->arrival < oldest->arrival))
        oldest = c;
    }
    if (oldest == nullptr) return;
    startChild(settings, oldest, originalMask);
  }
}

int reapChildren() {
  pid_t pid;
  while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) forgetChild(pid);
  if (pid < 0 && errno != ECHILD) perror("waitpid");
  return childCount;
}

void stopChildren(const sigset_t &waitMask, const volatile sig_atomic_t &stopSignals) {
  awaitChildren(kStopGraceSeconds * 1000, waitMask, &stopSignals);
  for (int i = 0; i < childCount; i++) kill(children[i], kGraceOverSignal);
  awaitChildren(kRequestExitMillis, waitMask, nullptr);
  for (int i = 0; i < childCount; i++) kill(children[i], SIGKILL);  // one that is stopped, say
  while (childCount > 0) {
    pid_t pid = waitpid(-1, nullptr, 0);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) {
      perror("waitpid");
      return;
    }
    forgetChild(pid);
  }
}
