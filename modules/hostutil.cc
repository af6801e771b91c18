// Form decoding for modules: split a query at a stop character, then undo URL form encoding.
#include <string.h>

#include "module_api.h"

namespace {

// Returns the value of hex digit c, or -1 if c is not one.
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void getword(char *word, char *line, char stop) {
  const char stops[] = {stop, '\0'};
  size_t n = strcspn(line, stops);
  memcpy(word, line, n);
  word[n] = '\0';
  if (line[n] != '\0') n++;  // the stop character goes too
  memmove(line, line + n, strlen(line + n) + 1);
}

void plustospace(char *s) {
  for (; *s != '\0'; s++)
    if (*s == '+') *s = ' ';
}

void unescape_url(char *s) {
  char *out = s;
  for (const char *in = s; *in != '\0'; in++) {
    int hi, lo;
    if (*in == '%' && (hi = hexValue(in[1])) >= 0 && (lo = hexValue(in[2])) >= 0) {
      *out++ = static_cast<char>(hi * 16 + lo);
      in += 2;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
}
