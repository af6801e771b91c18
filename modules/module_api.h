// The contract between a host and the modules it loads: the entry every module exports, and
// the three utilities every host exports to its modules.
#pragma once

// The module's entry, exported under its plain name (kHttpRunSymbol): handles one request on
// fd, a socket open for reading and writing, with the request's QUERY_STRING in the
// environment; query is the same text, writable. It may end the process or return.
extern "C" void httprun(int fd, char *query);
using HttpRun = void (*)(int fd, char *query);
constexpr char kHttpRunSymbol[] = "httprun";

// The host utilities, bound by a module under their C++ names (hostutil.dynlist lists them).

// Copies line up to the first stop character (or its end) into word, NUL-terminated,
// and removes that text and the stop character from the front of line, in place.
// word must have room for strcspn(line, {stop}) + 1 bytes.
void getword(char *word, char *line, char stop);
// Turns every '+' of s into a blank.
void plustospace(char *s);
// Replaces every "%XX" escape (two hex digits) of s by the byte it encodes.
// A '%' without two hex digits after it stays as it is. It gives no result, on
// any host: a module that needs the decoded length counts the escapes itself.
void unescape_url(char *s);
