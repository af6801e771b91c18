// The connections modhost holds: each read in the server until its request is complete, then
// handed to a request's process, or answered by the server and drained before it is closed.
#pragma once

#include <limits.h>
#include <netinet/in.h>
#include <time.h>

#include "httprequest.h"
#include "modhost.h"
#include "response.h"

constexpr int kConnectionsMax = 1024;  // connections held at once, fewer if descriptors are short
constexpr size_t kReadChunk = 4096;    // bytes read from a client at a time

// A connection held by the server: its request being read, a complete request waiting for a
// process, or an answered request whose last input is read before the connection is closed.
enum class Phase { Free, Reading, Ready, Draining };

struct Connection {
  Phase phase;
  int client;
  long long deadline;       // Reading: the request's limit; Draining: the end of the linger
  unsigned long arrival;    // order of acceptance: waiting requests are served first come first
  timespec arrived;         // when it was taken, on the wall clock, for the log
  long long arrivedMillis;  // the same on the deadline clock, for the request's duration
  sockaddr_in peer;
  RequestReader reader;
  Request request;         // points into reader.line once the request is complete
  char path[PATH_MAX];     // the module file, when Ready
  char early[kReadChunk];  // what came after the headers in their last read: a POST body's start
  size_t earlyLength;
  int heldAt;  // its place in held[]
};

// The connections held (the slots not Free), in no order: a pass over the connections costs
// what the server holds, not what it could hold. Releasing one moves the last into its place,
// so a pass that may release goes from the last to the first.
extern Connection *held[kConnectionsMax];
extern int heldCount;
extern int connectionLimit;  // connections held at most

// Sets connectionLimit from the descriptor limit and maps the slots. A connection never moves,
// since its request points into itself. The slots are not inherited by the request's
// processes: a fork copies none of their megabytes, and a request's process works on its own
// copy of its connection (copyConnection).
void setUpConnections();

// Copies from, whose request points into its own line, to to, pointing into to's.
void copyConnection(const Connection &from, Connection *to);

// Closes c's socket and frees its slot.
void releaseConnection(Connection *c);

// Fills out with the client and, if the request line was judged well formed, the request.
void describeRequest(const Connection &c, Outcome *out);

// Answers c with a page of the server's own and logs it, then reads what the client still
// sends until the linger ends; extra is more header lines, explanation (if given) the page's.
void answer(Connection *c, int status, const char *extra, const char *explanation = nullptr);

// Reads what has arrived on c: more of its request, or, once answered, input to drop.
void readConnection(const Settings &settings, Connection *c);

// Answers requests not complete in time with a 408 and closes connections whose linger is over.
void expireConnections();

// Returns true if a new connection could be taken now.
bool canTakeConnection();

// Takes the connections waiting on listener; returns the time until which accepting should
// pause (0 for no pause).
long long acceptConnections(int listener);

// Closes every connection the server holds: requests not yet handed to a process are dropped.
void closeConnections();
