// What the parts of modhost share: its settings and the limits its pages state.
#pragma once

#include <limits.h>
#include <netinet/in.h>

#include "httprequest.h"

constexpr int kRequestSeconds = 10;  // for the whole request line and headers
constexpr int kLingerMillis = 1000;  // to read what the client still sends before closing

struct Settings {
  int port = 8080;
  char address[INET_ADDRSTRLEN] = {};
  char moduleDir[PATH_MAX] = {};
  int moduleSeconds = 30;                         // for the module's whole response
  char indexModule[kModuleNameMax + 1] = "tolv";  // where "/" leads, if it is there
};
