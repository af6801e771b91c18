// The request's process: runs the module in a process of its own and relays its output to the
// client within the module's time, or answers with a 500 that says why there is none.
#pragma once

#include <signal.h>

#include "connection.h"
#include "modhost.h"

// To a request's process: the server's stop grace is over.
constexpr int kGraceOverSignal = SIGUSR1;

// Runs in a request's process, a child of the server that holds no other connection: sets the
// signals up for a request (originalMask is the mask the server started with), serves c's
// module, logs the request (out describes it so far) and ends the process.
[[noreturn]] void runRequest(const Settings &settings, Connection *c, Outcome *out,
                             const sigset_t &originalMask);
