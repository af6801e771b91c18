// TCP on 127.0.0.1 for tests; see net.h.
#include "net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in addressOf(const char *address, int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

}  // namespace

int connectTo(int port, const char *address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = addressOf(address, port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

int boundSocket(int port, bool listening) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = addressOf("127.0.0.1", port);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      (!listening || listen(fd, 1) == 0))
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

int portOf(int fd) {
  sockaddr_in a = {};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

int freePort() {
  int fd = boundSocket(0, false);
  if (fd < 0) return 0;
  int port = portOf(fd);
  close(fd);
  return port;
}

void resetClose(int fd) {
  linger reset = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
}

void resetClose(Fd &client) {
  resetClose(client.fd);
  client.fd = -1;
}
