// loadrun: runs an HTTP server module once without a server: the httprun of ./hello.so, on
// standard output and with a fixed query. Arguments are ignored.
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr char kModule[] = "./hello.so";  // "./": a path, not a library search
constexpr char kNotFound[] = "./hello.so not found\n";
static_assert(sizeof kNotFound - 1 == 21);
char query[] = "a=b&c=d";  // writable: a module may parse it in place

using HttpRun = void (*)(int fd, char *query);

}  // namespace

int main() {
  void *module = dlopen(kModule, RTLD_LAZY);  // functions bound at their first call
  if (module == nullptr) {
    int err = errno;
    fwrite(kNotFound, 1, sizeof kNotFound - 1, stderr);
    errno = err;
    perror("dlopen");
    exit(1);
  }
  auto httprun = reinterpret_cast<HttpRun>(dlsym(module, "httprun"));
  if (httprun == nullptr) {
    perror("dlsym: httprun not found:");
    exit(1);
  }
  httprun(1, query);
  return 0;
}
