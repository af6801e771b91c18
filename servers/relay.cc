// The request's process; see relay.h.
#include "relay.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "deadline.h"
#include "moduleproc.h"
#include "plumbing.h"
#include "response.h"

namespace {

// The module's process group, once there is one (its id is the module's pid, kept from reuse
// while the group has a member or the module is unreaped).
volatile sig_atomic_t moduleGroup = 0;

// At the end of the server's grace: the module goes with every process it started, so that
// nothing of the request (a mail command, say) lives on.
void onGraceOver(int) {
  if (moduleGroup > 0) kill(-moduleGroup, SIGKILL);
  _exit(1);
}

// Sends the count parts on a socket by deadline, in one call while the socket takes them (a
// gather write); returns 0 on success, -1 with errno set if the peer is gone, or with errno
// ETIMEDOUT if the peer has not taken it all by then. The parts are used up.
int sendAllBy(int fd, iovec *parts, int count, long long deadline) {
  msghdr msg = {};
  msg.msg_iov = parts;
  msg.msg_iovlen = static_cast<size_t>(count);
  for (;;) {
    while (msg.msg_iovlen > 0 && msg.msg_iov->iov_len == 0) {
      msg.msg_iov++;
      msg.msg_iovlen--;
    }
    if (msg.msg_iovlen == 0) return 0;
    ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) {  // wait until the client has taken some
      pollfd pfd = {fd, POLLOUT, 0};
      int ready = poll(&pfd, 1, millisLeft(deadline));
      if (ready < 0 && errno != EINTR) return -1;
      if (ready == 0) {
        errno = ETIMEDOUT;
        return -1;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      size_t step = std::min(left, msg.msg_iov->iov_len);
      msg.msg_iov->iov_base = static_cast<char *>(msg.msg_iov->iov_base) + step;
      msg.msg_iov->iov_len -= step;
      left -= step;
      if (msg.msg_iov->iov_len == 0) {
        msg.msg_iov++;
        msg.msg_iovlen--;
      }
    }
  }
}

// Waits until the process pid ends or deadline passes; returns true if it has ended. Leaves pid
// unreaped.
bool awaitEnd(pid_t pid, long long deadline) {
  siginfo_t info = {};  // mostly, a module has ended by the time its output has
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
      info.si_pid == pid)
    return true;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    perror("pidfd_open");
    return true;  // the caller waits without a limit
  }
  int ready;
  do {
    pollfd pfd = {pidfd, POLLIN, 0};
    ready = poll(&pfd, 1, millisLeft(deadline));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) perror("poll");
  close(pidfd);
  return ready != 0;
}

// The module's header block on its way to the client. A module may end its header lines with
// LF alone, as CGI programs do; behind modhost's own CR LF lines each one gets its CR, so that
// the header the client reads has one line end throughout.
struct HeaderRewrite {
  bool done = false;      // the header's empty line has been relayed
  bool lineEmpty = true;  // the line so far holds nothing but CRs
  bool afterCr = false;   // the last byte relayed was a CR
};

// Copies the header bytes among the n at in to out (room for 2n), a CR put before each LF that
// has none, and stops after the header's empty line. Sets *used to the bytes taken from in and
// returns the bytes written to out.
size_t rewriteHeader(const char *in, size_t n, char *out, HeaderRewrite *h, size_t *used) {
  size_t written = 0, i = 0;
  while (i < n && !h->done) {
    char c = in[i++];
    if (c == '\n') {
      if (!h->afterCr) out[written++] = '\r';
      h->done = h->lineEmpty;
      h->lineEmpty = true;
    } else if (c != '\r') {
      h->lineEmpty = false;
    }
    h->afterCr = c == '\r';
    out[written++] = c;
  }
  *used = i;
  return written;
}

// Tells in out's detail how the module process ended. Returns what the 500 page of a module
// that wrote nothing says, if the end itself explains it; else null.
const char *describeExit(int status, Outcome *out) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == kExitCannotLoad) {
    appendDetail(out, "module cannot be loaded");
    return "The module could not be loaded.";
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kExitNoHttprun) {
    appendDetail(out, "module has no httprun");
    return "The module has no httprun entry point.";
  }
  if (WIFSIGNALED(status))
    appendDetail(out, "module killed by signal %d", WTERMSIG(status));
  else if (WIFEXITED(status))
    appendDetail(out, "module exit %d", WEXITSTATUS(status));
  return nullptr;
}

// Runs the module in a process of its own on one end of a socket pair and relays what it
// writes to the client: the status line goes first, with the module's first bytes, its header
// lines are ended by CR LF as the status line's are (the body passes untouched), and a
// module that ends without writing anything gives a 500 that says why instead. For HEAD only
// the module's header goes to the client. A module past its time, whether or not it still
// writes, is killed with its whole process group.
void serveModule(const Settings &settings, int client, const ModuleCall &call, Outcome *out) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    perror("socketpair");
    sendPage(client, 500, "", out);
    return;
  }
  pid_t relay = getpid();
  maskSignal(SIG_BLOCK, kGraceOverSignal);  // until moduleGroup names the new group
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    maskSignal(SIG_UNBLOCK, kGraceOverSignal);
    close(pair[0]);
    close(pair[1]);
    sendPage(client, 500, "", out);
    return;
  }
  if (pid == 0) {
    close(client);
    close(pair[0]);
    runModule(call, pair[1], relay);
  }
  // Made here as well as in the module, so that the group exists before anything signals it.
  setpgid(pid, pid);
  moduleGroup = pid;
  maskSignal(SIG_UNBLOCK, kGraceOverSignal);
  close(pair[1]);

  long long deadline = nowMillis() + settings.moduleSeconds * 1000LL;
  bool started = false, clientGone = false, timedOut = false;
  bool headOnly = strcmp(call.method, "HEAD") == 0;
  HeaderRewrite header;
  char buf[16384], headerBuf[2 * sizeof buf];
  for (;;) {
    pollfd pfd = {pair[0], POLLIN, 0};
    int ready = poll(&pfd, 1, millisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      if (ready < 0) perror("poll");
      timedOut = true;
      break;
    }
    ssize_t n = read(pair[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) perror("read");
    if (n <= 0) break;
    if (clientGone || (headOnly && header.done)) continue;  // let the module finish undisturbed
    size_t length = static_cast<size_t>(n), headerLength = 0, used = 0;
    if (!header.done) headerLength = rewriteHeader(buf, length, headerBuf, &header, &used);
    const char *body = buf + used;
    size_t bodyLength = headOnly ? 0 : length - used;
    char statusOk[128];
    int statusLength = 0;
    if (!started) {
      statusLength = statusLines(statusOk, sizeof statusOk, 200, "OK");
      if (statusLength < 0) statusLength = 0;
    }
    started = true;
    iovec parts[] = {{statusOk, static_cast<size_t>(statusLength)},
                     {headerBuf, headerLength},
                     {const_cast<char *>(body), bodyLength}};
    if (sendAllBy(client, parts, 3, deadline) != 0) {
      if (errno == ETIMEDOUT) {  // a client that does not read is cut off at the same limit
        timedOut = true;
        break;
      }
      clientGone = true;
      continue;
    }
    out->sent += static_cast<size_t>(statusLength) + headerLength + bodyLength;
  }
  // A module that has closed its output may still be at work: its time runs on.
  if (!timedOut && !awaitEnd(pid, deadline)) timedOut = true;
  if (timedOut) {
    // And whatever it started: nothing of the request may go on.
    if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
    appendDetail(out, "module timed out, ");
  }
  close(pair[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const char *why = describeExit(status, out);
  if (clientGone) appendDetail(out, ", client gone");
  if (started) {
    out->status = 200;
    return;
  }
  if (why == nullptr) appendDetail(out, ", no output");  // it ran, but wrote nothing
  char late[64];
  if (timedOut) {
    snprintf(late, sizeof late, "The module did not answer within %d seconds.",
             settings.moduleSeconds);
    why = late;
  } else if (why == nullptr) {
    why = "The module ended without writing anything.";
  }
  sendPage(client, 500, "", out, why);
}

// A POST request's body in a file of its own, for the module's standard input: the bytes that
// came with the headers, then the rest from the client, within kRequestSeconds. Returns the
// file, read from its start, or -1 after answering the client (408 if the body did not come
// whole in time, 500 if it cannot be kept).
int readBody(const Connection &c, Outcome *out) {
  int body = memfd_create("modhost-body", MFD_CLOEXEC);
  if (body < 0) {
    perror("memfd_create");
    sendPage(c.client, 500, "", out);
    return -1;
  }
  size_t length = static_cast<size_t>(c.reader.contentLength);
  size_t early = c.earlyLength < length ? c.earlyLength : length;
  bool ok = writeAll(body, c.early, early) == 0;
  long long deadline = nowMillis() + kRequestSeconds * 1000LL;
  char buf[16384];
  for (size_t got = early; ok && got < length;) {
    pollfd pfd = {c.client, POLLIN, 0};
    int ready = poll(&pfd, 1, millisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    size_t want = length - got < sizeof buf ? length - got : sizeof buf;
    ssize_t n = ready > 0 ? read(c.client, buf, want) : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(body);
      appendDetail(out, "body incomplete: %zu of %zu bytes", got, length);
      sendPage(c.client, 408, "", out);
      return -1;
    }
    ok = writeAll(body, buf, static_cast<size_t>(n)) == 0;
    got += static_cast<size_t>(n);
  }
  if (!ok || lseek(body, 0, SEEK_SET) != 0) {
    perror("modhost-body");
    close(body);
    sendPage(c.client, 500, "", out);
    return -1;
  }
  return body;
}

// Ends a response: no more output, then read what the client still sends, briefly, so that
// closing with unread input does not reset the connection before the client has read it.
void closeClient(int client) {
  shutdown(client, SHUT_WR);
  long long deadline = nowMillis() + kLingerMillis;
  char sink[4096];
  pollfd pfd = {client, POLLIN, 0};
  while (poll(&pfd, 1, millisLeft(deadline)) > 0 && read(client, sink, sizeof sink) > 0) {
  }
  close(client);
}

}  // namespace

void runRequest(const Settings &settings, Connection *c, Outcome *out,
                const sigset_t &originalMask) {
  setHandler(SIGINT, SIG_IGN);  // the terminal's ctrl-c reaches the group; the server decides
  setHandler(SIGTERM, SIG_DFL);
  setHandler(SIGCHLD, SIG_DFL);
  setHandler(kGraceOverSignal, onGraceOver);
  // One change of mask, so that a SIGTERM already pending stays blocked: the request is
  // answered, whatever comes.
  sigset_t mask = originalMask;
  sigaddset(&mask, SIGTERM);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  int flags = fcntl(c->client, F_GETFL);
  if (flags < 0 || fcntl(c->client, F_SETFL, flags & ~O_NONBLOCK) != 0) perror("fcntl");
  char noQuery[] = "";
  ModuleCall call = {c->path,
                     c->request.method,
                     c->request.name,
                     c->request.query != nullptr ? c->request.query : noQuery,
                     c->request.version,
                     c->peer,
                     -1,
                     c->reader.contentLength};
  if (strcmp(call.method, "POST") == 0) call.body = readBody(*c, out);
  if (strcmp(call.method, "POST") != 0 || call.body >= 0)
    serveModule(settings, c->client, call, out);
  if (call.body >= 0) close(call.body);
  closeClient(c->client);
  logRequest(*out);
  _exit(0);
}
