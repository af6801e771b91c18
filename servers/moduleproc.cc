// The module's process; see moduleproc.h.
#include "moduleproc.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "httprequest.h"
#include "module_api.h"
#include "plumbing.h"
#include "relay.h"

namespace {

// Sets the CGI variables a module may read; QUERY_STRING is the query exactly as received.
void setCgiEnvironment(const Settings &settings, const ModuleCall &call) {
  char scriptName[kModuleNameMax + 2];
  snprintf(scriptName, sizeof scriptName, "/%s", call.name);
  char peerAddress[INET_ADDRSTRLEN], peerPort[8], serverPort[8];
  inet_ntop(AF_INET, &call.peer.sin_addr, peerAddress, sizeof peerAddress);
  snprintf(peerPort, sizeof peerPort, "%u", ntohs(call.peer.sin_port));
  snprintf(serverPort, sizeof serverPort, "%d", settings.port);
  const char *vars[][2] = {
      {"GATEWAY_INTERFACE", "CGI/1.1"},  {"SERVER_SOFTWARE", "modhost"},
      {"SERVER_NAME", settings.address}, {"SERVER_PORT", serverPort},
      {"SERVER_PROTOCOL", call.version}, {"REQUEST_METHOD", call.method},
      {"SCRIPT_NAME", scriptName},       {"QUERY_STRING", call.query},
      {"REMOTE_ADDR", peerAddress},      {"REMOTE_PORT", peerPort},
  };
  for (const auto &var : vars)
    if (setenv(var[0], var[1], 1) != 0) perror("setenv");
  if (call.body >= 0) {
    char length[24];
    snprintf(length, sizeof length, "%lld", call.bodyLength);
    if (setenv("CONTENT_LENGTH", length, 1) != 0) perror("setenv");
  }
}

}  // namespace

void runModule(const Settings &settings, const ModuleCall &call, int fd, pid_t relay) {
  // A process group of its own keeps the terminal's signals away from the module: the server
  // decides when requests end. Dispositions and mask go back to what modules expect.
  if (setpgid(0, 0) != 0) perror("setpgid");
  signal(SIGPIPE, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(kGraceOverSignal, SIG_DFL);
  maskSignal(SIG_UNBLOCK, SIGTERM);
  maskSignal(SIG_UNBLOCK, kGraceOverSignal);
  // The relay bounds the module's time; if the relay is gone, so is the module.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) perror("prctl");
  if (getppid() != relay) _exit(1);
  // Standard input is the body, as CGI has it, or nothing.
  int input = call.body >= 0 ? call.body : open("/dev/null", O_RDONLY);
  if (input < 0 || dup2(input, STDIN_FILENO) < 0) perror("/dev/null");
  if (input > STDIN_FILENO) close(input);
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) perror("dup2");  // keep the log clean
  setCgiEnvironment(settings, call);
  void *module = dlopen(call.path, RTLD_LAZY);
  if (module == nullptr) {
    fprintf(stderr, "modhost: dlopen: %s\n", dlerror());
    _exit(kExitCannotLoad);
  }
  auto httprun = reinterpret_cast<HttpRun>(dlsym(module, kHttpRunSymbol));
  if (httprun == nullptr) {
    fprintf(stderr, "modhost: dlsym: httprun not found: %s\n", dlerror());
    _exit(kExitNoHttprun);
  }
  httprun(fd, call.query);
  exit(0);  // a module that returns: flush what it wrote through stdio
}
