// Linked into a test copy of clockgreet with -Wl,--wrap=accept: its first accept calls fail, one
// each, with the error numbers listed in CLOCKGREET_ACCEPT_ERRORS (decimal, blank-separated);
// after them accept is the real one.
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>

extern "C" int __real_accept(int fd, sockaddr *addr, socklen_t *len);

extern "C" int __wrap_accept(int fd, sockaddr *addr, socklen_t *len) {
  static const char *next = getenv("CLOCKGREET_ACCEPT_ERRORS");
  if (next != nullptr) {
    char *end;
    long err = strtol(next, &end, 10);
    if (end != next) {
      next = end;
      errno = static_cast<int>(err);
      return -1;
    }
  }
  return __real_accept(fd, addr, len);
}
