// loadrun: runs an HTTP server module once without a server: the httprun of ./hello.so, on
// standard output and with a fixed query. Arguments are ignored.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include "module_api.h"

namespace {

constexpr char kModule[] = "./hello.so";  // "./": a path, not a library search
constexpr char kNotFound[] = "./hello.so not found\n";
static_assert(sizeof kNotFound - 1 == 21);
char query[] = "a=b&c=d";  // writable: a module may parse it in place

// Reports on standard error, after what, why the dynamic loader failed, and ends with status 1.
// The loader says why through dlerror, not errno; it has nothing to say only when dlsym found
// the symbol with a null value.
[[noreturn]] void loaderFailed(const char *what) {
  const char *why = dlerror();
  fprintf(stderr, "%s: %s\n", what, why != nullptr ? why : "the symbol's value is null");
  exit(1);
}

}  // namespace

int main() {
  void *module = dlopen(kModule, RTLD_LAZY);  // functions bound at their first call
  if (module == nullptr) {
    fwrite(kNotFound, 1, sizeof kNotFound - 1, stderr);
    loaderFailed("dlopen");
  }
  auto httprun = reinterpret_cast<HttpRun>(dlsym(module, kHttpRunSymbol));
  if (httprun == nullptr) loaderFailed("dlsym: httprun not found:");
  httprun(1, query);
  return 0;
}
