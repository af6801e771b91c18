// The server's children; see children.h.
#include "children.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "connection.h"
#include "deadline.h"
#include "relay.h"

namespace {

constexpr int kStopGraceSeconds = 5;      // for requests in progress at SIGINT or SIGTERM
constexpr int kRequestExitMillis = 1000;  // for requests' processes to end after the grace

pid_t children[kMaxChildren];
int childCount = 0;

// Drops pid from the children serving requests.
void forgetChild(pid_t pid) {
  for (int i = 0; i < childCount; i++) {
    if (children[i] == pid) {
      children[i] = children[--childCount];
      return;
    }
  }
}

// Runs c's module in a process of its own; the server keeps no part of the connection.
void startChild(const Settings &settings, int listener, Connection *c,
                const sigset_t &originalMask) {
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    answer(c, 503, "");
    return;
  }
  if (pid == 0) {
    close(listener);
    for (Connection &other : connections)
      if (other.phase != Phase::Free && &other != c) close(other.client);
    runRequest(settings, c, originalMask);
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

void startWaitingRequests(const Settings &settings, int listener, const sigset_t &originalMask) {
  while (childCount < kMaxChildren) {
    Connection *oldest = nullptr;
    for (int i = 0; i < connectionLimit; i++) {
      Connection *c = &connections[i];
      if (c->phase == Phase::Ready && (oldest == nullptr || c->arrival < oldest->arrival))
        oldest = c;
    }
    if (oldest == nullptr) return;
    startChild(settings, listener, oldest, originalMask);
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
