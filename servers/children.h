// The server's children, one request's process each: started for complete requests as room
// allows, reaped as they end, given a grace at a stop and then ended.
#pragma once

#include <signal.h>

#include "modhost.h"

constexpr int kMaxChildren = 32;  // requests served at once; more wait, read, in the server

// Starts processes for complete requests, oldest first, while there is room for them;
// originalMask is the signal mask the server started with.
void startWaitingRequests(const Settings &settings, const sigset_t &originalMask);

// Reaps every child that has ended; returns the number still running.
int reapChildren();

// Waits for the requests in progress, for a grace or until a second stop signal (stopSignals
// counts them), then ends what is left, each request with its module's process group; every
// child is reaped. waitMask is the mask to wait with.
void stopChildren(const sigset_t &waitMask, const volatile sig_atomic_t &stopSignals);
