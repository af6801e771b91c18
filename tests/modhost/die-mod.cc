// A test module that ends without writing anything: by abort, by exit 3, by returning, or
// (without a query) by exit 0.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "module_api.h"

void httprun(int, char *) {
  const char *how = getenv("QUERY_STRING");
  if (how == nullptr) how = "";
  if (strcmp(how, "abort") == 0) abort();
  if (strcmp(how, "exit") == 0) _exit(3);
  if (strcmp(how, "return") == 0) return;
  exit(0);
}
