// Test module whose httprun writes one line on its descriptor and returns.
#include <string.h>
#include <unistd.h>

#include "module_api.h"

void httprun(int fd, char *query) {
  constexpr char kLine[] = "returning\n";
  if (write(fd, kLine, sizeof kLine - 1) < 0) return;
  if (write(fd, query, strlen(query)) < 0) return;
}
