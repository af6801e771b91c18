// A test module: writes its CGI variables, its query fields, decoded with the host's utilities,
// and the body of a POST request, as it reads it on standard input.
// Fields sleep=MS (wait before writing), stall=MS (wait after the first line), size=N
// (N more bytes of padding) and linger=MS (close the output, then wait) shape the response;
// mixed=1 writes a header of mixed line ends in pieces, crlf=1 header and body in CR LF.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <initializer_list>

#include "module_api.h"

namespace {

constexpr size_t kQueryMax = 9000;

void nap(long millis) {
  timespec ts = {millis / 1000, (millis % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

}  // namespace

void httprun(int fd, char *) {
  FILE *client = fdopen(fd, "r+");
  if (client == nullptr) {
    perror("fdopen");
    exit(1);
  }
  static char query[kQueryMax], word[kQueryMax], fields[4 * kQueryMax];
  const char *env = getenv("QUERY_STRING");
  snprintf(query, sizeof query, "%s", env != nullptr ? env : "");
  long sleepMillis = 0, stallMillis = 0, size = 0, lingerMillis = 0;
  bool mixed = false, crlf = false;
  size_t used = 0;
  while (query[0] != '\0') {
    getword(word, query, '=');
    plustospace(word);
    unescape_url(word);
    static char name[kQueryMax];
    snprintf(name, sizeof name, "%s", word);
    getword(word, query, '&');
    plustospace(word);
    unescape_url(word);
    if (strcmp(name, "sleep") == 0) sleepMillis = atol(word);
    if (strcmp(name, "stall") == 0) stallMillis = atol(word);
    if (strcmp(name, "size") == 0) size = atol(word);
    if (strcmp(name, "linger") == 0) lingerMillis = atol(word);
    if (strcmp(name, "mixed") == 0) mixed = true;
    if (strcmp(name, "crlf") == 0) crlf = true;
    int n = snprintf(fields + used, sizeof fields - used, "field [%s]=[%s]\n", name, word);
    if (n > 0 && used + static_cast<size_t>(n) < sizeof fields) used += static_cast<size_t>(n);
  }
  nap(sleepMillis);
  const char *lineEnd = crlf ? "\r\n" : "\n";
  if (mixed) {
    // A CR and its LF in separate pieces, then a bare LF, then the empty line split.
    for (const char *piece : {"Content-type: text/plain\r", "\nX-Two: 2\n", "\r", "\n"}) {
      fputs(piece, client);
      fflush(client);
      nap(20);
    }
  } else {
    fprintf(client, "Content-type: text/plain%s%s", lineEnd, lineEnd);
  }
  if (stallMillis > 0) {
    fflush(client);
    nap(stallMillis);
  }
  static const char *const vars[] = {"QUERY_STRING",    "REQUEST_METHOD", "SCRIPT_NAME",
                                     "SERVER_PROTOCOL", "REMOTE_ADDR",    "GATEWAY_INTERFACE"};
  for (const char *var : vars) {
    const char *value = getenv(var);
    fprintf(client, "%s%s%s%s", var, value != nullptr ? "=" : " unset", value ? value : "",
            lineEnd);
  }
  if (getenv("CONTENT_LENGTH") != nullptr) {
    fprintf(client, "CONTENT_LENGTH=%s\nbody [", getenv("CONTENT_LENGTH"));
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, stdin)) > 0;) fwrite(buf, 1, n, client);
    fputs("]\n", client);
  }
  fputs(fields, client);
  for (long i = 0; i < size; i++) putc('x', client);
  if (lingerMillis > 0) {
    fclose(client);
    nap(lingerMillis);
  }
  exit(0);
}
