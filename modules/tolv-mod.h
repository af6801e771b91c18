// The order-form module's interface: its menu tables, its two pages, and one request handled
// in-process (returning instead of ending the process), as httprun and tests use them.
#pragma once

#include <stdio.h>

constexpr int kSubCount = 12;
constexpr int kSlimCount = 6;
constexpr int kSideCount = 2;
constexpr int kPopCount = 4;

// Item names; an item's index is its checkbox VALUE and its bit in the order's selection mask.
extern const char *sublist[kSubCount];
extern const char *slimlist[kSlimCount];
extern const char *sidelist[kSideCount];
extern const char *poplist[kPopCount];

// Writes the order form to out, then ends the process with status 0.
[[noreturn]] void dump_form(FILE *out);
// Writes the not-submitted page giving reason (a lower-case clause without a full stop) to out,
// then ends the process with status 1.
[[noreturn]] void print_error(FILE *out, const char *reason);

// Handles one request: writes the header and the page for query (null or empty: the form) to
// client, and pipes a sent order into the mail command. query is parsed, and changed, in place.
// Returns the status httprun ends the process with: 0 after the form, a sent order or a
// preview, 1 after an error page. Never flushes client.
int handleRequest(FILE *client, char *query);

// The module's entry, httprun (module_api.h), handles the request whose query is in
// QUERY_STRING and then ends the process; its query argument is not read.
