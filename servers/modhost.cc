// modhost: a small HTTP/1.0 server that runs modules, one process per request.
// GET (or HEAD) /NAME?QUERY loads NAME-mod.so from the module folder and calls its httprun.
//
// Three processes serve a request. The server (this file's loop) reads the requests of all
// its connections at once and starts a process only for a complete request, so that
// connections that send nothing cannot hold up the others. The request's process (relay.cc)
// runs the module and relays its output to the client within the module's time. The module's
// process (moduleproc.cc), in a process group of its own, loads the module and calls httprun.
//
// A connection (connection.cc) passes these states: Reading its request, with a time limit;
// then Ready, a complete request waiting for a process (children.cc), or Draining, answered by
// the server (response.cc) and read until it is closed; then Free. A Ready connection is the
// request's process's from then on: the server closes its copy.
#include "modhost.h"

#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "children.h"
#include "connection.h"
#include "deadline.h"
#include "moduleproc.h"
#include "plumbing.h"

namespace {

constexpr const char *kDefaultAddress = "127.0.0.1";
constexpr int kMaxModuleSeconds = 3600;
constexpr int kListenBacklog = 64;

// Set by the signal handlers, read by the accept loop.
volatile sig_atomic_t stopSignals = 0;

void onStop(int) { stopSignals = stopSignals + 1; }
void onChild(int) {}  // only to interrupt the wait; the loop reaps

constexpr const char *kUsage =
    "Usage: %s [-t module-seconds] [-a address] [-i index-module] [port [module-dir [address]]]\n"
    "Serves GET /NAME?QUERY by running NAME-mod.so from module-dir (default: the folder of\n"
    "this program) on address (default 127.0.0.1) and port (default 8080; 0: any free one).\n"
    "\"/\" leads to the index module (default tolv) while it is there; -t bounds a module's\n"
    "response (default 30 seconds, at most 3600).\n";

// Prints the usage on out and ends the process with status.
[[noreturn]] void exitWithUsage(FILE *out, const char *program, int status) {
  fprintf(out, kUsage, program);
  exit(status);
}

[[noreturn]] void usageError(const char *program) { exitWithUsage(stderr, program, 1); }

// Reads the command line into settings; exits with the usage on any error.
void parseArguments(int argc, char *argv[], Settings *settings) {
  static const option longOptions[] = {{"help", no_argument, nullptr, 'h'}, {}};
  const char *address = nullptr;
  int opt;
  while ((opt = getopt_long(argc, argv, "ht:a:i:", longOptions, nullptr)) != -1) {
    switch (opt) {
      case 'h':
        exitWithUsage(stdout, argv[0], 0);
      case 't':
        if (parseNumber(optarg, 1, kMaxModuleSeconds, &settings->moduleSeconds) != 0)
          usageError(argv[0]);
        break;
      case 'a':
        address = optarg;
        break;
      case 'i':
        if (!isModuleName(optarg, strlen(optarg))) {
          fprintf(stderr, "%s: not a module name\n", optarg);
          usageError(argv[0]);
        }
        snprintf(settings->indexModule, sizeof settings->indexModule, "%s", optarg);
        break;
      default:
        usageError(argv[0]);
    }
  }
  int rest = argc - optind;
  char **args = argv + optind;
  if (rest > 3 || (rest == 3 && address != nullptr)) usageError(argv[0]);
  if (rest >= 1 && parseNumber(args[0], 0, 65535, &settings->port) != 0) usageError(argv[0]);

  char dir[PATH_MAX];
  if (rest >= 2) {
    snprintf(dir, sizeof dir, "%s", args[1]);
  } else {  // the folder that holds this program
    ssize_t n = readlink("/proc/self/exe", dir, sizeof dir - 1);
    if (n < 0) failCall("readlink /proc/self/exe");
    dir[n] = '\0';
    *strrchr(dir, '/') = '\0';
  }
  struct stat st;
  if (realpath(dir, settings->moduleDir) == nullptr || stat(settings->moduleDir, &st) != 0)
    failCall(dir);
  if (!S_ISDIR(st.st_mode)) {
    fprintf(stderr, "%s: not a directory\n", dir);
    exit(1);
  }

  if (rest == 3) address = args[2];
  if (address == nullptr) address = kDefaultAddress;
  in_addr unused;
  if (inet_pton(AF_INET, address, &unused) != 1) {
    fprintf(stderr, "%s: not an IPv4 address\n", address);
    usageError(argv[0]);
  }
  snprintf(settings->address, sizeof settings->address, "%s", address);
}

// Returns a listening socket on the settings' address and port, with the port filled in.
int openListener(Settings *settings) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0) failCall("socket");
  int on = 1;
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) perror("setsockopt");
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(settings->port));
  inet_pton(AF_INET, settings->address, &addr.sin_addr);
  if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) failCall("bind");
  if (listen(listener, kListenBacklog) != 0) failCall("listen");
  socklen_t len = sizeof addr;
  if (getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    failCall("getsockname");
  settings->port = ntohs(addr.sin_port);
  return listener;
}

}  // namespace

int main(int argc, char *argv[]) {
  Settings settings;
  parseArguments(argc, argv, &settings);

  // The signals are blocked except while waiting in ppoll, so none is missed between a check
  // of the flags and the wait.
  sigset_t blocked, originalMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGCHLD);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &blocked, &originalMask) != 0) failCall("sigprocmask");
  setHandler(SIGINT, onStop);
  setHandler(SIGTERM, onStop);
  setHandler(SIGCHLD, onChild);
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) perror("signal");  // a vanished client is no fault

  int listener = openListener(&settings);
  prepareModuleEnvironment(settings);
  printf("modhost: listening on http://%s:%d/ with modules from %s\n", settings.address,
         settings.port, settings.moduleDir);
  fflush(stdout);

  setUpConnections();
  int status = 0;
  long long acceptPausedUntil = 0;
  static pollfd fds[kConnectionsMax + 1];
  static Connection *polled[kConnectionsMax + 1];
  while (stopSignals == 0) {
    reapChildren();
    startWaitingRequests(settings, originalMask);
    expireConnections();

    // The listener is watched only while a new connection can be taken; until then new
    // clients wait in its backlog.
    long long now = nowMillis(), wake = LLONG_MAX;
    bool listen = canTakeConnection() && now >= acceptPausedUntil;
    if (!listen && acceptPausedUntil > now) wake = acceptPausedUntil;
    fds[0] = {listener, static_cast<short>(listen ? POLLIN : 0), 0};
    nfds_t count = 1;
    for (int k = 0; k < heldCount; k++) {
      Connection *c = held[k];
      if (c->phase != Phase::Reading && c->phase != Phase::Draining) continue;
      fds[count] = {c->client, POLLIN, 0};
      polled[count++] = c;
      if (c->deadline < wake) wake = c->deadline;
    }
    int left = wake == LLONG_MAX ? -1 : millisLeft(wake);
    timespec timeout = {left / 1000, (left % 1000) * 1000000L};
    int ready = ppoll(fds, count, left < 0 ? nullptr : &timeout, &originalMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("ppoll");
      status = 1;
      break;
    }
    for (nfds_t k = 1; k < count; k++)
      if (fds[k].revents != 0) readConnection(settings, polled[k]);
    if (fds[0].revents & POLLIN) acceptPausedUntil = acceptConnections(listener);
  }

  close(listener);
  closeConnections();
  stopChildren(originalMask, stopSignals);
  printf("modhost: stopped\n");
  fflush(stdout);
  return status;
}
