// The module's process: a process group of its own, the CGI variables, the module loaded and
// its httprun called on the request's socket.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include "modhost.h"

constexpr int kExitCannotLoad = 126;  // the module's process could not load the module
constexpr int kExitNoHttprun = 127;   // the module it loaded has no httprun

// One request as the module sees it.
struct ModuleCall {
  const char *path;     // the module file
  const char *method;   // REQUEST_METHOD: GET or HEAD
  const char *name;     // the module's name, SCRIPT_NAME without its '/'
  char *query;          // QUERY_STRING, exactly as received; writable, the module may parse it
  const char *version;  // SERVER_PROTOCOL
  sockaddr_in peer;
  int body;              // a POST request's body, read from the start, for standard input; or -1
  long long bodyLength;  // CONTENT_LENGTH
};

// Gathers, once in the server, the environment every module starts from: the server's own
// variables and the CGI variables that are the same for every request; settings' port is the
// one listened on.
void prepareModuleEnvironment(const Settings &settings);

// Runs in the module's process, a child of relay: calls the module's httprun on fd, which ends
// the process. Exits with status kExitCannotLoad or kExitNoHttprun if it cannot call httprun.
[[noreturn]] void runModule(const ModuleCall &call, int fd, pid_t relay);
