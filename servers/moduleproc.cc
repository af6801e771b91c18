// The module's process; see moduleproc.h.
#include "moduleproc.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <iterator>

#include "httprequest.h"
#include "module_api.h"
#include "plumbing.h"
#include "relay.h"

namespace {

// The variables a module finds beside the server's own, which they replace.
constexpr const char *kCgiNames[] = {"GATEWAY_INTERFACE", "SERVER_SOFTWARE", "SERVER_NAME",
                                     "SERVER_PORT",       "SERVER_PROTOCOL", "REQUEST_METHOD",
                                     "SCRIPT_NAME",       "QUERY_STRING",    "REMOTE_ADDR",
                                     "REMOTE_PORT",       "CONTENT_LENGTH"};
constexpr size_t kRequestVars = 7;  // of them, those that differ from request to request

// The modules' environment, made once by prepareModuleEnvironment: the server's variables
// without any of kCgiNames, the CGI variables that are the same for every request, then room
// for a request's own and the null that ends the list.
char **moduleEnvironment;
size_t requestVarsAt;  // where a request's own go
char serverVars[4][INET_ADDRSTRLEN + 32];

// Returns true if entry, "NAME=value", sets one of kCgiNames.
bool isCgiVariable(const char *entry) {
  for (const char *name : kCgiNames) {
    size_t n = strlen(name);
    if (strncmp(entry, name, n) == 0 && entry[n] == '=') return true;
  }
  return false;
}

// A request's own CGI variables, each "NAME=value"; QUERY_STRING is the query exactly as
// received.
struct RequestVars {
  char protocol[32], method[kMethodMax + 32], script[kModuleNameMax + 16];
  char query[kRequestLineMax + 16], address[INET_ADDRSTRLEN + 16], port[24], length[40];
};

// Makes the module's process's environment the modules' one with the request's variables in
// it, without allocating anything.
void setCgiEnvironment(const ModuleCall &call, RequestVars *vars) {
  char peer[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &call.peer.sin_addr, peer, sizeof peer);
  snprintf(vars->protocol, sizeof vars->protocol, "SERVER_PROTOCOL=%s", call.version);
  snprintf(vars->method, sizeof vars->method, "REQUEST_METHOD=%s", call.method);
  snprintf(vars->script, sizeof vars->script, "SCRIPT_NAME=/%s", call.name);
  snprintf(vars->query, sizeof vars->query, "QUERY_STRING=%s", call.query);
  snprintf(vars->address, sizeof vars->address, "REMOTE_ADDR=%s", peer);
  snprintf(vars->port, sizeof vars->port, "REMOTE_PORT=%u", ntohs(call.peer.sin_port));
  snprintf(vars->length, sizeof vars->length, "CONTENT_LENGTH=%lld", call.bodyLength);
  char **at = moduleEnvironment + requestVarsAt;
  for (char *var :
       {vars->protocol, vars->method, vars->script, vars->query, vars->address, vars->port})
    *at++ = var;
  if (call.body >= 0) *at++ = vars->length;
  *at = nullptr;
  environ = moduleEnvironment;
}

}  // namespace

void prepareModuleEnvironment(const Settings &settings) {
  size_t count = 0;
  for (char **e = environ; *e != nullptr; e++) count++;
  moduleEnvironment = static_cast<char **>(
      calloc(count + std::size(serverVars) + kRequestVars + 1, sizeof *moduleEnvironment));
  if (moduleEnvironment == nullptr) failCall("calloc");
  size_t n = 0;
  for (char **e = environ; *e != nullptr; e++)
    if (!isCgiVariable(*e)) moduleEnvironment[n++] = *e;
  snprintf(serverVars[0], sizeof serverVars[0], "GATEWAY_INTERFACE=CGI/1.1");
  snprintf(serverVars[1], sizeof serverVars[1], "SERVER_SOFTWARE=modhost");
  snprintf(serverVars[2], sizeof serverVars[2], "SERVER_NAME=%s", settings.address);
  snprintf(serverVars[3], sizeof serverVars[3], "SERVER_PORT=%d", settings.port);
  for (char *var : serverVars) moduleEnvironment[n++] = var;
  requestVarsAt = n;
}

void runModule(const ModuleCall &call, int fd, pid_t relay) {
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
  RequestVars vars;
  setCgiEnvironment(call, &vars);
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
