// TCP on 127.0.0.1 for tests: clients, free ports, and clients that vanish.
#pragma once

#include "io.h"

// Returns a socket connected to address:port, or -1 if it cannot connect.
int connectTo(int port, const char *address = "127.0.0.1");

// Returns a TCP socket bound to 127.0.0.1:port (0: the system picks one), listening if asked;
// -1 on failure.
int boundSocket(int port, bool listening);

// Returns the local port of socket fd.
int portOf(int fd);

// Returns a port that was free a moment ago.
int freePort();

// Closes fd with a reset, as a client that vanishes does.
void resetClose(int fd);
// Closes client with a reset; client is then empty.
void resetClose(Fd &client);
